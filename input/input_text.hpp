// Text rules of input requests: white-space trimming and Unicode lower-casing of names.
#pragma once

#include <string>
#include <string_view>

namespace zel {

// Removes, at both ends, the space separators (Unicode Zs), tab and the line breaks U+000A..U+000D,
// U+0085, U+2028, U+2029. Bytes that are not valid UTF-8 are kept as they are.
std::string trimInputWhitespace(std::string_view text);

// Full Unicode lower-case mapping, independent of the locale.
std::string unicodeLowercase(std::string_view text);

} // namespace zel
