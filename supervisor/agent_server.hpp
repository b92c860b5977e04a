// The agent server's two node runs: the token query, run to its end, and the long-running server.
#pragma once

#include "supervisor/agent_helpers.hpp"

#include <chrono>
#include <memory>
#include <string>

namespace zel {

// How long the server must stay up after launch to count as started; there is no other check.
inline constexpr std::chrono::milliseconds kServerGracePeriod{1200};

// Runs the agent's token query in the agent directory and returns its output trimmed (possibly
// empty). The query stores a fresh token: every connection start pairs anew, and the server
// launched next (and relaunched after a crash) reads that one. Failures pass on: a missing agent
// or node, a launch error, a non-zero exit. onLaunched receives the running query.
std::string
queryAgentToken(const AgentHelpers& helpers,
                const std::function<void(std::shared_ptr<HelperProcess>)>& onLaunched = {});

// Launches "node src/server.js" in the agent directory with the first pairing code in
// ZEL_AGENT_TOKEN (kept in its memory), its output logged with "[agent] " and its end reported to
// onExit. With a channel (an AgentChannel's child end), the server gets it as its descriptor 3
// and ZEL_AGENT_CHANNEL_FD=3.
std::shared_ptr<HelperProcess> launchAgentServer(const AgentHelpers& helpers,
                                                 std::string_view token, ExitHandler onExit = {},
                                                 int channel = -1);

} // namespace zel
