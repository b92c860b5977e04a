// The quick-tunnel address in the tunnel client's output.
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
        // A failed request names the provider's API host; no tunnel exists then.
        {"2026-12-06T10:00:01Z ERR failed to request quick Tunnel: Post "
         "\"https://api.trycloudflare.com/tunnel\": dial tcp: no such host",
         std::nullopt},
        {"2026-12-06T10:00:01Z ERR https://x.trycloudflare.com is gone\n"
         "2026-12-06T10:00:02Z INF |  https://y.trycloudflare.com  |",
         "https://y.trycloudflare.com"},
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

} // namespace
