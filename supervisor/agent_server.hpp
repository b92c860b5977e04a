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
// empty). Failures pass on: a missing node, a launch error, a non-zero exit.
std::string queryAgentToken(const AgentHelpers& helpers);

// Launches "node src/server.js" in the agent directory, its output logged with "[agent] ".
std::shared_ptr<HelperProcess> launchAgentServer(const AgentHelpers& helpers);

} // namespace zel
