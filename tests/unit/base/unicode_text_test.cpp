// UTF-8 validation and the one white-space trim, which the log, the input requests and the control
// service's codec all rely on.
#include "base/unicode_text.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

TEST(IsValidUTF8, StrictAboutEveryMalformedForm) {
    // Stray and truncated bytes, overlong forms, a surrogate, beyond U+10FFFF, five bytes.
    for (const char* invalid : {"\xff", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                                "\xf4\x90\x80\x80", "ok\xe4\xbd", "\x80", "\xf8\x88\x80\x80\x80"}) {
        EXPECT_FALSE(zel::isValidUTF8(invalid)) << testing::PrintToString(invalid);
    }
    for (const std::string& valid :
         std::vector<std::string>{"", "ascii", "\xc2\x80", "\xef\xbf\xbf", "\xf0\x90\x80\x80",
                                  "\xf4\x8f\xbf\xbf", "\xed\x9f\xbf", std::string(1, '\0')}) {
        EXPECT_TRUE(zel::isValidUTF8(valid)) << testing::PrintToString(valid);
    }
}

TEST(TrimWhitespace, RemovesAsciiAndUnicodeSpacesAtBothEnds) {
    const std::pair<std::string, std::string> cases[] = {
        {"\t\v\f tok \r\n\n", "tok"},
        {"\xe2\x80\xa8tok\xc2\x85", "tok"}, // U+2028, U+0085
        {"\xe4\xbd\xa0 ", "\xe4\xbd\xa0"},  // a CJK character is not a space
        {" \xff ", "\xff"},                 // malformed bytes are kept
        {"\xc2 a", "\xc2 a"},               // a truncated sequence stops the trim
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(zel::trimWhitespace(input), expected) << testing::PrintToString(input);
    }
}

} // namespace
