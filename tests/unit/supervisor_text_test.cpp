// Address extraction from tunnel output and whitespace trimming of helper output.
#include "supervisor/agent_helpers.hpp"
#include "supervisor/tunnel.hpp"

#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace {

struct ExtractCase {
    const char* name;
    std::string chunk;
    std::optional<std::string> expected;
};

TEST(ExtractTunnelURL, FindsTheFirstQuickTunnelAddress) {
    const std::string kHost = "https://gentle-river-mosaic.trycloudflare.com";
    const std::string box = "2025-01-01T00:00:00Z INF |  " + kHost + "                      |\n";
    const ExtractCase cases[] = {
        {"boxed in bars and blanks", box, kHost},
        {"alone", kHost, kHost},
        {"two addresses: the first", "https://a-b.trycloudflare.com https://c.trycloudflare.com",
         "https://a-b.trycloudflare.com"},
        {"other domain first", "https://x.example.com then " + kHost, kHost},
        {"several labels", "https://a.b-c.d9.trycloudflare.com/",
         "https://a.b-c.d9.trycloudflare.com"},
        {"path cut off", kHost + "/path?q=1", kHost},
        {"port cut off", kHost + ":443", kHost},
        {"letters after the domain cut off", kHost + "xyz", kHost},
        {"domain twice: greedy host", "https://a.trycloudflare.com.trycloudflare.com",
         "https://a.trycloudflare.com.trycloudflare.com"},
        {"dots and hyphens only in the host", "https://-..trycloudflare.com",
         "https://-..trycloudflare.com"},
        {"unanchored, no boundary before", "xhttps://ab.trycloudflare.com",
         "https://ab.trycloudflare.com"},
        {"first start fails, later one matches", "https://bad host https://ok.trycloudflare.com",
         "https://ok.trycloudflare.com"},
        {"other domain", "https://gentle-river.example.com", std::nullopt},
        {"domain without host", "https://.trycloudflare.com", std::nullopt},
        {"bare domain", "Requesting new quick Tunnel on trycloudflare.com...", std::nullopt},
        {"upper-case scheme", "HTTPS://abc.trycloudflare.com", std::nullopt},
        {"upper-case domain", "https://abc.TRYCLOUDFLARE.com", std::nullopt},
        {"plain http", "http://abc.trycloudflare.com", std::nullopt},
        {"dot not escaped would match", "https://abcXtrycloudflare.com", std::nullopt},
        {"domain's dot not escaped would match", "https://abc.trycloudflareXcom", std::nullopt},
        {"underscore breaks the host", "https://ab_c.trycloudflare.com", std::nullopt},
        {"first half of a split address", "|  https://gentle-river-mos", std::nullopt},
        {"second half of a split address", "aic.trycloudflare.com   |", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(zel::extractTunnelURL(c.chunk), c.expected) << c.name;
    }
}

TEST(ExtractTunnelURL, LongHostRunStaysLinear) {
    // A regex engine that recurses per character would overflow the reader thread's stack here.
    const std::string host(1 << 20, 'a');
    EXPECT_EQ(zel::extractTunnelURL("https://" + host), std::nullopt);
    EXPECT_EQ(zel::extractTunnelURL("https://" + host + ".trycloudflare.com"),
              "https://" + host + ".trycloudflare.com");
}

TEST(TrimWhitespace, RemovesAsciiAndUnicodeSpacesAndLineEndsAtBothEnds) {
    const std::pair<std::string, std::string> cases[] = {
        {"tok\n", "tok"},
        {"  word\r\n", "word"},
        {"\t\v\f tok \n\n", "tok"},
        {"a b\nc", "a b\nc"},
        {"\n\n", ""},
        {"", ""},
        {"\xe3\x80\x80tok\xc2\xa0", "tok"},     // U+3000, U+00A0
        {"\xe2\x80\xa8tok\xc2\x85", "tok"},     // U+2028, U+0085
        {"tok\xe4\xbd\xa0", "tok\xe4\xbd\xa0"}, // a CJK character is not a space
        {"\xe4\xbd\xa0 ", "\xe4\xbd\xa0"},
        {" \xff ", "\xff"}, // malformed bytes are kept
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(zel::trimWhitespace(input), expected) << testing::PrintToString(input);
    }
}

} // namespace
