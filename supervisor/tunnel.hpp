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

} // namespace zel
