// The token query and the server launch over the helper toolkit.
#include "supervisor/agent_server.hpp"

#include "base/unicode_text.hpp"

#include <array>

namespace zel {

std::string queryAgentToken(const AgentHelpers& helpers,
                            const std::function<void(std::shared_ptr<HelperProcess>)>& onLaunched) {
    const auto directory = helpers.agentServerDirectory();
    const auto node = helpers.executable("node", helpers.locations().nodeFallbacks);
    const std::array<std::string, 3> arguments{
        "--input-type=module", "-e",
        "import('./src/config.js').then(({ configDir, renewToken }) => "
        "console.log(renewToken(configDir())))"};
    return std::string(
        trimWhitespace(helpers.runAndCapture(node, arguments, directory, onLaunched)));
}

std::shared_ptr<HelperProcess> launchAgentServer(const AgentHelpers& helpers,
                                                 std::string_view token, ExitHandler onExit,
                                                 int channel) {
    const auto directory = helpers.agentServerDirectory();
    const auto node = helpers.executable("node", helpers.locations().nodeFallbacks);
    Environment environment = helpers.agentEnvironment();
    // The server's alone: the tunnel client and the token query never see it.
    environment.emplace_back("ZEL_AGENT_TOKEN", token);
    if (channel >= 0) {
        environment.emplace_back("ZEL_AGENT_CHANNEL_FD", std::to_string(kChannelDescriptor));
    }
    return HelperProcess::launch({.executable = node,
                                  .arguments = {"src/server.js"},
                                  .currentDirectory = directory,
                                  .environment = std::move(environment),
                                  .channel = channel},
                                 attachLogging("agent"), std::move(onExit));
}

} // namespace zel
