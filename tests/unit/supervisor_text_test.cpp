#include "base/unicode_text.hpp"
#include "supervisor/agent_helpers.hpp"
#include "supervisor/tunnel.hpp"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace {

TEST(ExtractTunnelURL, FindsTheFirstQuickTunnelAddress) {
    const std::string host = "https://gentle-river-mosaic.trycloudflare.com";
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"https://a-b.trycloudflare.com https://c.trycloudflare.com",
         "https://a-b.trycloudflare.com"},
        {host + ":443/path", host},
        {"https://bad host https://ok.trycloudflare.com", "https://ok.trycloudflare.com"},
        {"https://.trycloudflare.com", std::nullopt},
        {"HTTPS://abc.trycloudflare.com", std::nullopt},
        {"https://abcXtrycloudflare.com", std::nullopt},
    };
    for (const auto& [chunk, expected] : cases) {
        EXPECT_EQ(zel::extractTunnelURL(chunk), expected) << chunk;
    }
    // A regex engine that recurses per character would overflow the reader thread's stack.
    const std::string longHost = "https://" + std::string(1 << 20, 'a');
    EXPECT_EQ(zel::extractTunnelURL(longHost), std::nullopt);
    EXPECT_EQ(zel::extractTunnelURL(longHost + ".trycloudflare.com"),
              longHost + ".trycloudflare.com");
}

TEST(TrimWhitespace, RemovesAsciiAndUnicodeSpacesAtBothEnds) {
    const std::pair<std::string, std::string> cases[] = {
        {"\t\v\f tok \r\n\n", "tok"},
        {"\xe2\x80\xa8tok\xc2\x85", "tok"}, // U+2028, U+0085
        {"\xe4\xbd\xa0 ", "\xe4\xbd\xa0"},  // a CJK character is not a space
        {" \xff ", "\xff"},                 // malformed bytes are kept
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(zel::trimWhitespace(input), expected) << testing::PrintToString(input);
    }
}

} // namespace
