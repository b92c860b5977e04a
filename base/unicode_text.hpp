// Unicode rules on UTF-8 text, through ICU: validation, white-space trimming, lower-casing.
#pragma once

#include <string>
#include <string_view>

namespace zel {

// Strict UTF-8: no overlongs, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(std::string_view text);

// Removes, at both ends, the space separators (Unicode Zs), tab and the line breaks U+000A..U+000D,
// U+0085, U+2028, U+2029. A malformed sequence is not white space and stops the trim.
std::string_view trimWhitespace(std::string_view text);

// Full Unicode lower-case mapping, independent of the locale.
std::string unicodeLowercase(std::string_view text);

} // namespace zel
