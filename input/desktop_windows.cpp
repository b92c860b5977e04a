#include "input/desktop_windows.hpp"

#include "base/app_error.hpp"
#include "base/unicode_text.hpp"

#include <algorithm>

namespace zel {
namespace {

// A window's own text, which a careless client may leave in another encoding: invalid UTF-8 is
// taken as ISO 8859-1, so that one bad title never spoils the list.
std::string readable(const std::string& text) {
    return isValidUTF8(text) ? text : latin1ToUTF8(text);
}

nlohmann::json boundsJSON(const DisplayBounds& bounds) {
    return {{"x", bounds.x}, {"y", bounds.y}, {"width", bounds.width}, {"height", bounds.height}};
}

} // namespace

std::string latin1ToUTF8(std::string_view text) {
    std::string utf8;
    utf8.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0U | (byte >> 6U));
            utf8 += static_cast<char>(0x80U | (byte & 0x3FU));
        }
    }
    return utf8;
}

nlohmann::json windowListJSON(const std::vector<DesktopWindow>& windows,
                              std::optional<DisplayBounds> display) {
    auto list = nlohmann::json::array();
    for (const DesktopWindow& window : windows) {
        nlohmann::json entry = {{"id", window.id},
                                {"title", readable(window.title)},
                                {"application", readable(window.application)},
                                {"focused", window.focused},
                                {"minimized", window.minimized},
                                {"own", window.own}};
        entry["pid"] = window.pid > 0 ? nlohmann::json(window.pid) : nlohmann::json(nullptr);
        entry["bounds"] = window.bounds ? boundsJSON(*window.bounds) : nlohmann::json(nullptr);
        list.push_back(std::move(entry));
    }
    return {{"windows", std::move(list)},
            {"display", display ? boundsJSON(*display) : nlohmann::json(nullptr)}};
}

nlohmann::json focusWindow(DesktopWindows& windows, std::string_view body) {
    const auto request = nlohmann::json::parse(body, nullptr, false);
    if (!request.is_object() || !request.contains("id") || !request["id"].is_string() ||
        request["id"].get_ref<const std::string&>().empty()) {
        throw AppError(R"(Expected a JSON body {"id":"…"} with a window id from the list.)");
    }
    const auto& id = request["id"].get_ref<const std::string&>();
    const auto all = windows.list();
    const auto found = std::find_if(all.begin(), all.end(),
                                    [&](const DesktopWindow& window) { return window.id == id; });
    if (found == all.end()) {
        throw AppError("No window " + id + " on the desktop (closed, or not a top-level window).");
    }
    if (found->own) {
        throw AppError(std::string(kOwnWindowFocusMessage));
    }
    const bool focused = windows.focus(*found);
    return {{"ok", true}, {"id", id}, {"focused", focused}};
}

} // namespace zel
