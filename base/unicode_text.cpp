// UTF-8 validation, trimming and lower-casing with ICU's code point macros and case mapping.
#include "base/unicode_text.hpp"

#include <algorithm>
#include <cstdint>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace zel {
namespace {

const std::uint8_t* bytesOf(std::string_view text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

bool isTrimmed(UChar32 c) {
    if (c < 0) {
        return false;
    }
    return c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029 ||
           u_charType(c) == U_SPACE_SEPARATOR;
}

} // namespace

bool isValidUTF8(std::string_view text) {
    const auto* bytes = bytesOf(text);
    // U8_NEXT counts in int32_t: it is given at most that much of the rest at each step.
    for (std::size_t at = 0; at < text.size();) {
        const auto rest =
            static_cast<std::int32_t>(std::min<std::size_t>(text.size() - at, INT32_MAX));
        std::int32_t length = 0;
        UChar32 c = 0;
        U8_NEXT(bytes + at, length, rest, c);
        if (c < 0) {
            return false;
        }
        at += static_cast<std::size_t>(length);
    }
    return true;
}

std::string_view trimWhitespace(std::string_view text) {
    const auto* bytes = bytesOf(text);
    if (text.size() > INT32_MAX) {
        return text; // no name or helper output is that long; ICU counts in int32_t
    }
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t begin = 0;
    while (begin < length) {
        std::int32_t next = begin;
        UChar32 c = 0;
        U8_NEXT(bytes, next, length, c);
        if (!isTrimmed(c)) {
            break;
        }
        begin = next;
    }
    std::int32_t end = length;
    while (end > begin) {
        std::int32_t previous = end;
        UChar32 c = 0;
        U8_PREV(bytes, begin, previous, c);
        if (!isTrimmed(c)) {
            break;
        }
        end = previous;
    }
    return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

std::string unicodeLowercase(std::string_view text) {
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
    // The root locale gives the language-independent mapping, so İ becomes i + U+0307 everywhere.
    unicode.toLower(icu::Locale::getRoot());
    std::string result;
    unicode.toUTF8String(result);
    return result;
}

} // namespace zel
