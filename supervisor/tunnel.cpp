// Tunnel launch and address extraction. The pattern is matched by hand: a backtracking regex
// engine recurses once per character and a long output chunk would exhaust the reader's stack.
#include "supervisor/tunnel.hpp"

#include "base/agent_log.hpp"
#include "base/app_error.hpp"
#include "base/unicode_text.hpp"

#include <charconv>
#include <cstdlib>

namespace zel {
namespace {

bool isHostCharacter(char c) {
    return c == '-' || c == '.' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= '0' && c <= '9');
}

constexpr std::string_view kApiHost = "https://api.trycloudflare.com";

// A line the client logs at a failure's level; words alone would also match a random host name.
bool reportsError(std::string_view line) {
    for (const std::string_view mark : {" ERR ", " WRN ", " FTL "}) {
        if (line.find(mark) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> announcedOnLine(std::string_view line) {
    constexpr std::string_view kScheme = "https://";
    const std::string suffix = "." + std::string(kTunnelDomain);
    for (std::size_t start = line.find(kScheme); start != std::string_view::npos;
         start = line.find(kScheme, start + 1)) {
        const std::size_t hostBegin = start + kScheme.size();
        std::size_t runEnd = hostBegin;
        while (runEnd < line.size() && isHostCharacter(line[runEnd])) {
            ++runEnd;
        }
        // The suffix is made of host characters only, so the whole match lies inside the run;
        // the greedy "+" takes the last place the suffix occurs that leaves one host character.
        const auto run = line.substr(hostBegin, runEnd - hostBegin);
        const std::size_t at = run.rfind(suffix);
        if (at != std::string_view::npos && at >= 1) {
            const auto url = line.substr(start, kScheme.size() + at + suffix.size());
            if (url != kApiHost) {
                return std::string(url);
            }
        }
    }
    return std::nullopt;
}

std::filesystem::path tunnelClient(const AgentHelpers& helpers) {
    try {
        return helpers.executable("cloudflared", helpers.locations().cloudflaredFallbacks);
    } catch (const AppError&) {
        throw AppError(kNoTunnelClient);
    }
}

} // namespace

std::optional<std::string> extractTunnelURL(std::string_view chunk) {
    while (!chunk.empty()) {
        const auto end = chunk.find('\n');
        const auto line = chunk.substr(0, end);
        if (!reportsError(line)) {
            if (auto url = announcedOnLine(line)) {
                return url;
            }
        }
        if (end == std::string_view::npos) {
            break;
        }
        chunk.remove_prefix(end + 1);
    }
    return std::nullopt;
}

std::chrono::seconds tunnelAnnounceLimit() {
    constexpr std::chrono::seconds kDefault{30};
    const char* text = std::getenv("ZEL_TUNNEL_TIMEOUT");
    if (text == nullptr) {
        return kDefault;
    }
    const std::string_view value(text);
    int seconds = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (error != std::errc{} || end != value.data() + value.size() || seconds < 1 ||
        seconds > 3600) {
        appendLog("ZEL_TUNNEL_TIMEOUT=" + std::string(isValidUTF8(value) ? value : "?") +
                  " is not a number of seconds from 1 to 3600; waiting 30 s\n");
        return kDefault;
    }
    return std::chrono::seconds(seconds);
}

std::shared_ptr<HelperProcess> launchTunnel(const AgentHelpers& helpers, std::string_view port,
                                            std::function<void(std::string)> onAddress,
                                            ExitHandler onExit) {
    const auto cloudflared = tunnelClient(helpers);
    return HelperProcess::launch(
        {.executable = cloudflared,
         .arguments = {"tunnel", "--url", "http://127.0.0.1:" + std::string(port)},
         .currentDirectory = {},
         .environment = helpers.helperEnvironment()},
        [onAddress = std::move(onAddress)](std::string_view chunk) {
            if (!isValidUTF8(chunk)) {
                return;
            }
            appendLog(chunk);
            if (auto address = extractTunnelURL(chunk)) {
                onAddress(std::move(*address));
            }
        },
        std::move(onExit));
}

NamedTunnelEvent namedTunnelEvent(std::string_view chunk) {
    NamedTunnelEvent event;
    while (!chunk.empty()) {
        const auto end = chunk.find('\n');
        const auto line = chunk.substr(0, end);
        if (line.find("Provided Tunnel token is not valid") != std::string_view::npos) {
            event.failure = kTunnelTokenInvalid;
        } else if (reportsError(line) &&
                   (line.find("Unauthorized") != std::string_view::npos ||
                    line.find("Invalid tunnel secret") != std::string_view::npos)) {
            event.failure = kTunnelTokenRefused;
        } else if (!reportsError(line) &&
                   line.find("Registered tunnel connection") != std::string_view::npos) {
            event.registered = true;
        }
        if (end == std::string_view::npos) {
            break;
        }
        chunk.remove_prefix(end + 1);
    }
    return event;
}

std::shared_ptr<HelperProcess> launchNamedTunnel(const AgentHelpers& helpers,
                                                 const std::string& token,
                                                 std::function<void()> onReady,
                                                 std::function<void(std::string)> onFailure,
                                                 ExitHandler onExit) {
    const auto cloudflared = tunnelClient(helpers);
    Environment environment = helpers.helperEnvironment();
    environment.emplace_back("TUNNEL_TOKEN", token);
    return HelperProcess::launch(
        {.executable = cloudflared,
         .arguments = {"tunnel", "--no-autoupdate", "run"},
         .currentDirectory = {},
         .environment = std::move(environment)},
        [onReady = std::move(onReady), onFailure = std::move(onFailure)](std::string_view chunk) {
            if (!isValidUTF8(chunk)) {
                return;
            }
            appendLog(chunk);
            const NamedTunnelEvent event = namedTunnelEvent(chunk);
            if (!event.failure.empty()) {
                onFailure(event.failure);
            } else if (event.registered) {
                onReady();
            }
        },
        std::move(onExit));
}

} // namespace zel
