// The quick tunnel: launching the tunnel client and finding its public address in its output.
#pragma once

#include "supervisor/agent_helpers.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zel {

// The quick-tunnel domain that announced addresses end with.
inline constexpr std::string_view kTunnelDomain = "trycloudflare.com";

// The first quick-tunnel announcement in the chunk: a match of
// https://[-a-zA-Z0-9.]+\.trycloudflare\.com (case-sensitive, the host part greedy, nothing after
// the domain included) on a line that reports no error, other than the provider's API host, which
// failures name (a failed request prints "ERR failed to request quick Tunnel: Post
// \"https://api.trycloudflare.com/tunnel\" ...").
std::optional<std::string> extractTunnelURL(std::string_view chunk);

// How long a started tunnel client may take to announce its address before the start counts as
// failed: 30 s (a quick tunnel usually takes 2 to 5), or the whole seconds in ZEL_TUNNEL_TIMEOUT
// for a slow link. A value other than a whole number from 1 to 3600 is logged and 30 s used.
std::chrono::seconds tunnelAnnounceLimit();

// Launches "cloudflared tunnel --url http://127.0.0.1:<port>" in our own working directory.
// Every chunk of its merged output that is valid UTF-8 is logged verbatim and searched; each
// address found goes to onAddress on the reader thread, for as long as the client writes; its end
// goes to onExit.
std::shared_ptr<HelperProcess> launchTunnel(const AgentHelpers& helpers, std::string_view port,
                                            std::function<void(std::string)> onAddress,
                                            ExitHandler onExit = {});

// What a named tunnel's client says, line by line: its first registered connection (it is then
// reachable at its hostname), or a failure the window names.
struct NamedTunnelEvent {
    bool registered = false;
    std::string failure; // Chinese, for the window; empty when none
};
NamedTunnelEvent namedTunnelEvent(std::string_view chunk);

// No tunnel client where the app looks (resources/bin, /usr/local/bin, /usr/bin): it is no
// distribution package, so the way out is named.
inline constexpr const char* kNoTunnelClient =
    "缺少隧道客户端 cloudflared（它不是 Debian 软件包）：请从 Cloudflare 的下载页取得并放到 "
    "/usr/local/bin，或在设置中选择“自己的地址”，那样不需要隧道。";

inline constexpr const char* kTunnelTokenRefused =
    "隧道服务不接受这个隧道令牌：请在其控制台重新复制令牌，或改用快速隧道。";
inline constexpr const char* kTunnelTokenInvalid =
    "隧道令牌格式不对：请从隧道服务的控制台复制完整的令牌。";

// Launches "cloudflared tunnel --no-autoupdate run" with the token in TUNNEL_TOKEN, where the
// client reads it, so that no other user sees it in the process list. Its output is logged
// (without the token, which it never prints) and read as by namedTunnelEvent: the first
// registration goes to onReady, a failure to onFailure; its end goes to onExit.
std::shared_ptr<HelperProcess> launchNamedTunnel(const AgentHelpers& helpers,
                                                 const std::string& token,
                                                 std::function<void()> onReady,
                                                 std::function<void(std::string)> onFailure,
                                                 ExitHandler onExit = {});

} // namespace zel
