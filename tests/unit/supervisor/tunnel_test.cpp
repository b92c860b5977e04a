// The quick-tunnel address in the tunnel client's output.
#include "base/agent_log.hpp"
#include "supervisor/tunnel.hpp"
#include "tests/support/temp_dir.hpp"

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
        {"INF see https://api.trycloudflare.com", std::nullopt},
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

TEST(TunnelAnnounceLimit, WholeSecondsFromTheEnvironmentOtherwiseThirtyWithALogLine) {
    const zel::test::TempDir dir;
    const zel::test::ScopedEnv state("XDG_STATE_HOME", dir.path().c_str());
    const std::pair<const char*, int> cases[] = {
        {nullptr, 30}, {"3", 3}, {"3600", 3600}, {"0", 30},   {"3601", 30},
        {"-5", 30},    {"", 30}, {"10s", 30},    {"1.5", 30}, {" 7", 30},
    };
    for (const auto& [value, seconds] : cases) {
        SCOPED_TRACE(value != nullptr ? value : "(unset)");
        const zel::test::ScopedEnv timeout("ZEL_TUNNEL_TIMEOUT", value);
        zel::resetLog();
        EXPECT_EQ(zel::tunnelAnnounceLimit(), std::chrono::seconds(seconds));
        const bool complained =
            zel::test::readFile(zel::logURL()).find("is not a number of seconds") !=
            std::string::npos;
        EXPECT_EQ(complained, value != nullptr && seconds == 30);
    }
}

} // namespace
