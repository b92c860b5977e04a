#include "input/key_names.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace zel::InputActions {
namespace {

constexpr std::array<std::pair<std::string_view, Key>, 41> kKeyNames{{
    {"return", Key::returnKey},
    {"enter", Key::returnKey},
    {"tab", Key::tab},
    {"space", Key::space},
    {"backspace", Key::deleteBackward},
    {"delete", Key::deleteForward},
    {"del", Key::deleteForward},
    {"escape", Key::escape},
    {"esc", Key::escape},
    {"left", Key::left},
    {"right", Key::right},
    {"down", Key::down},
    {"up", Key::up},
    {"insert", Key::insert},
    {"ins", Key::insert},
    {"home", Key::home},
    {"end", Key::end},
    {"page_up", Key::pageUp},
    {"pageup", Key::pageUp},
    {"prior", Key::pageUp},
    {"page_down", Key::pageDown},
    {"pagedown", Key::pageDown},
    {"menu", Key::menu},
    {"f1", Key::f1},
    {"f2", Key::f2},
    {"f3", Key::f3},
    {"f4", Key::f4},
    {"f5", Key::f5},
    {"f6", Key::f6},
    {"f7", Key::f7},
    {"f8", Key::f8},
    {"f9", Key::f9},
    {"f10", Key::f10},
    {"f11", Key::f11},
    {"f12", Key::f12},
    {"ctrl", Key::control},
    {"control", Key::control},
    {"alt", Key::alt},
    {"super", Key::super},
    {"win", Key::super},
    {"shift", Key::shift},
}};

} // namespace

std::optional<Key> namedKey(std::string_view normalizedName) {
    const auto* row = std::find_if(kKeyNames.begin(), kKeyNames.end(), [&](const auto& entry) {
        return entry.first == normalizedName;
    });
    if (row == kKeyNames.end()) {
        return std::nullopt;
    }
    return row->second;
}

std::vector<std::string_view> keyNames() {
    std::vector<std::string_view> names;
    names.reserve(kKeyNames.size());
    for (const auto& [name, key] : kKeyNames) {
        names.push_back(name);
    }
    return names;
}

} // namespace zel::InputActions
