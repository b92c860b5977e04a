// The keyboard's actions: named keys, key combinations and typed text.
#include "base/app_error.hpp"
#include "base/unicode_text.hpp"
#include "input/input_actions.hpp"
#include "input/key_names.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <unicode/utf8.h>

namespace zel::InputActions {
namespace {

using Json = nlohmann::json;

bool isModifier(Key key) {
    return key == Key::control || key == Key::alt || key == Key::super || key == Key::shift;
}

std::u32string codePoints(std::string_view text) {
    if (!isValidUTF8(text)) {
        throw AppError("Text is not valid UTF-8.");
    }
    std::u32string points;
    for (std::size_t at = 0; at < text.size();) {
        UChar32 point = 0;
        U8_NEXT_UNSAFE(text.data(), at, point);
        points.push_back(static_cast<char32_t>(point));
    }
    return points;
}

std::string codePointName(char32_t point) {
    std::array<char, 16> name{};
    std::snprintf(name.data(), name.size(), "U+%04X", static_cast<unsigned>(point));
    return name.data();
}

// One part of a combination: a named key, or else a character.
struct ComboPart {
    std::string name;
    std::optional<Key> key;
    char32_t character = 0;
};

ComboPart comboPart(std::string_view text) {
    ComboPart part{unicodeLowercase(trimWhitespace(text)), std::nullopt, 0};
    if (const auto key = namedKey(part.name)) {
        part.key = key;
        return part;
    }
    // A letter names its key whatever its case; a case mapping to several characters (İ) does
    // not, and the character stays as it came.
    std::u32string points = codePoints(part.name);
    if (points.size() != 1) {
        points = codePoints(trimWhitespace(text));
    }
    if (points.size() != 1) {
        throw AppError("Unsupported key: " + part.name);
    }
    if (points[0] < 0x20 || (points[0] >= 0x7f && points[0] < 0xa0)) {
        throw AppError("Unsupported key: " + codePointName(points[0]));
    }
    part.character = points[0];
    return part;
}

// "ctrl+s" splits at each +, and a + after a separator is the plus key: "ctrl++", "+".
std::vector<std::string> comboNames(const Json* keys) {
    std::vector<std::string> names;
    if (keys != nullptr && keys->is_string()) {
        const auto& text = keys->get_ref<const std::string&>();
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t plus = text.find('+', start);
            if (plus == start && (start == 0 || text[start - 1] == '+') &&
                (plus + 1 == text.size() || text[plus + 1] == '+')) {
                names.emplace_back("+");
                start = plus + 2;
                continue;
            }
            if (plus == std::string::npos) {
                plus = text.size();
            }
            names.emplace_back(text.substr(start, plus - start));
            start = plus + 1;
        }
    } else if (keys != nullptr && keys->is_array()) {
        for (const Json& element : *keys) {
            if (!element.is_string()) {
                throw AppError("Key combination parts must be strings.");
            }
            names.push_back(element.get<std::string>());
        }
    }
    if (names.empty() || (names.size() == 1 && trimWhitespace(names[0]).empty())) {
        throw AppError(R"(Key combination is required: "keys" as "ctrl+s" or ["ctrl","s"].)");
    }
    if (std::any_of(names.begin(), names.end(),
                    [](const std::string& name) { return trimWhitespace(name).empty(); })) {
        throw AppError("A key combination part is empty (the plus key is written \"ctrl++\").");
    }
    if (names.size() > 5) {
        throw AppError("A key combination has at most four modifiers and one key.");
    }
    return names;
}

void strike(InputBackend& backend, Key key, KeyModifiers modifiers) {
    if (!backend.canPostKey(key, modifiers)) {
        return;
    }
    backend.postKey(key, true, modifiers);
    backend.pause(kKeyPause);
    backend.postKey(key, false, modifiers);
}

} // namespace

void key(InputBackend& backend, std::string_view name) {
    const std::string normalized = unicodeLowercase(trimWhitespace(name));
    const auto key = namedKey(normalized);
    if (!key) {
        throw AppError("Unsupported key: " + normalized);
    }
    strike(backend, *key, KeyModifiers::none);
}

namespace {

Key heldKeyNamed(InputBackend& backend, std::string_view name) {
    const std::string normalized = unicodeLowercase(trimWhitespace(name));
    const auto key = namedKey(normalized);
    if (!key) {
        throw AppError("Unsupported key: " + normalized);
    }
    if (!backend.canPostKey(*key, KeyModifiers::none)) {
        throw AppError("This keyboard has no " + normalized + " key.");
    }
    return *key;
}

} // namespace

void keyDown(InputBackend& backend, std::string_view name) {
    const Key key = heldKeyNamed(backend, name);
    auto& held = backend.heldKeys();
    if (std::find(held.begin(), held.end(), key) == held.end()) {
        backend.postKey(key, true, KeyModifiers::none);
        held.push_back(key);
    }
}

void keyUp(InputBackend& backend, std::string_view name) {
    const Key key = heldKeyNamed(backend, name);
    auto& held = backend.heldKeys();
    const auto at = std::find(held.begin(), held.end(), key);
    if (at != held.end()) {
        held.erase(at);
        backend.postKey(key, false, KeyModifiers::none);
    }
}

void releaseHeldKeys(InputBackend& backend) {
    const auto sequence = backend.holdSequence();
    auto& held = backend.heldKeys();
    while (!held.empty()) {
        backend.postKey(held.back(), false, KeyModifiers::none);
        held.pop_back();
    }
}

void paste(InputBackend& backend) {
    strike(backend, Key::v, KeyModifiers::command);
}

void keyCombo(InputBackend& backend, const Json* keys) {
    const std::vector<std::string> names = comboNames(keys);
    std::vector<ComboPart> parts;
    parts.reserve(names.size());
    for (const std::string& name : names) {
        parts.push_back(comboPart(name));
    }
    const ComboPart last = parts.back();
    parts.pop_back();
    std::vector<Key> modifiers;
    for (const ComboPart& part : parts) {
        if (!part.key || !isModifier(*part.key)) {
            throw AppError("Only ctrl, alt, super and shift go before the last key: " + part.name);
        }
        if (std::find(modifiers.begin(), modifiers.end(), *part.key) == modifiers.end()) {
            modifiers.push_back(*part.key);
        }
    }
    for (const ComboPart& part : parts) {
        if (!backend.canPostKey(*part.key, KeyModifiers::none)) {
            throw AppError("This keyboard has no " + part.name + " key.");
        }
    }
    if (last.key && !backend.canPostKey(*last.key, KeyModifiers::none)) {
        throw AppError("This keyboard has no " + last.name + " key.");
    }
    for (const Key modifier : modifiers) {
        backend.postKey(modifier, true, KeyModifiers::none);
    }
    if (!modifiers.empty()) {
        backend.pause(kModifierPause);
    }
    std::size_t struck = 1;
    if (last.key) {
        backend.postKey(*last.key, true, KeyModifiers::none);
        backend.pause(kKeyPause);
        backend.postKey(*last.key, false, KeyModifiers::none);
    } else {
        struck = backend.typeText(std::u32string(1, last.character), kKeyPause);
    }
    if (!modifiers.empty()) {
        backend.pause(kModifierPause);
    }
    // Released in reverse order.
    for (std::size_t i = modifiers.size(); i-- > 0;) {
        backend.postKey(modifiers[i], false, KeyModifiers::none);
    }
    if (struck == 0) {
        throw AppError("This keyboard cannot make " + codePointName(last.character) + ".");
    }
}

std::u32string typableText(std::string_view text) {
    const std::u32string points = codePoints(text);
    std::u32string characters;
    characters.reserve(points.size());
    for (std::size_t at = 0; at < points.size(); ++at) {
        const char32_t point = points[at];
        if (point == U'\r') {
            characters.push_back(U'\n');
            if (at + 1 < points.size() && points[at + 1] == U'\n') {
                ++at;
            }
        } else if ((point < 0x20 && point != U'\n' && point != U'\t') ||
                   (point >= 0x7f && point < 0xa0)) {
            throw AppError("Text holds a control character that cannot be typed: " +
                           codePointName(point) + ".");
        } else {
            characters.push_back(point);
        }
    }
    if (characters.empty()) {
        throw AppError("Text to type is empty.");
    }
    if (characters.size() > kMaxTypedCharacters) {
        throw AppError("Text is longer than " + std::to_string(kMaxTypedCharacters) +
                       " characters: send it in parts.");
    }
    return characters;
}

} // namespace zel::InputActions
