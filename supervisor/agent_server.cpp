// The token query and the server launch over the helper toolkit.
#include "supervisor/agent_server.hpp"

#include "base/unicode_text.hpp"

#include <array>

namespace zel {

std::string queryAgentToken(const AgentHelpers& helpers) {
    const auto node = helpers.executable("node", helpers.locations().nodeFallbacks);
    const std::array<std::string, 3> arguments{
        "--input-type=module", "-e",
        "import('./src/config.js').then(({ loadConfig }) => console.log(loadConfig().token))"};
    return std::string(
        trimWhitespace(helpers.runAndCapture(node, arguments, helpers.agentDirectory())));
}

std::shared_ptr<HelperProcess> launchAgentServer(const AgentHelpers& helpers) {
    const auto node = helpers.executable("node", helpers.locations().nodeFallbacks);
    return HelperProcess::launch({.executable = node,
                                  .arguments = {"src/server.js"},
                                  .currentDirectory = helpers.agentDirectory(),
                                  .environment = helpers.agentEnvironment()},
                                 attachLogging("agent"));
}

} // namespace zel
