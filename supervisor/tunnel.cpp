// Tunnel launch and address extraction. The pattern is matched by hand: a backtracking regex
// engine recurses once per character and a long output chunk would exhaust the reader's stack.
#include "supervisor/tunnel.hpp"

#include "base/agent_log.hpp"
#include "base/unicode_text.hpp"

namespace zel {
namespace {

bool isHostCharacter(char c) {
    return c == '-' || c == '.' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= '0' && c <= '9');
}

} // namespace

std::optional<std::string> extractTunnelURL(std::string_view chunk) {
    constexpr std::string_view kScheme = "https://";
    const std::string suffix = "." + std::string(kTunnelDomain);
    for (std::size_t start = chunk.find(kScheme); start != std::string_view::npos;
         start = chunk.find(kScheme, start + 1)) {
        const std::size_t hostBegin = start + kScheme.size();
        std::size_t runEnd = hostBegin;
        while (runEnd < chunk.size() && isHostCharacter(chunk[runEnd])) {
            ++runEnd;
        }
        // The suffix is made of host characters only, so the whole match lies inside the run;
        // the greedy "+" takes the last place the suffix occurs that leaves one host character.
        const auto run = chunk.substr(hostBegin, runEnd - hostBegin);
        const std::size_t at = run.rfind(suffix);
        if (at != std::string_view::npos && at >= 1) {
            return std::string(chunk.substr(start, kScheme.size() + at + suffix.size()));
        }
    }
    return std::nullopt;
}

std::shared_ptr<HelperProcess> launchTunnel(const AgentHelpers& helpers, std::string_view port,
                                            std::function<void(std::string)> onAddress) {
    const auto cloudflared =
        helpers.executable("cloudflared", helpers.locations().cloudflaredFallbacks);
    return HelperProcess::launch(
        {.executable = cloudflared,
         .arguments = {"tunnel", "--url", "http://127.0.0.1:" + std::string(port)},
         .currentDirectory = {},
         .environment = helpers.agentEnvironment()},
        [onAddress = std::move(onAddress)](std::string_view chunk) {
            if (!isValidUTF8(chunk)) {
                return;
            }
            appendLog(chunk);
            if (auto address = extractTunnelURL(chunk)) {
                onAddress(std::move(*address));
            }
        });
}

} // namespace zel
