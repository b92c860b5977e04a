// The toolkit for every helper program: where helpers are found, the environment they all get,
// running a short helper to its end, and streaming a long-running helper's output into the log.
#pragma once

#include "supervisor/helper_process.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

// The canonical <directory of the executable>/../share/zel-desktop-agent, or nothing when it
// cannot be determined (then every helper of the resources counts as missing).
std::optional<std::filesystem::path> defaultResourceDirectory();

// "/opt/homebrew/bin/<name>", "/usr/local/bin/<name>", then "/usr/bin/<name>" where Linux
// distributions put their packages.
std::vector<std::filesystem::path> defaultFallbacks(std::string_view name);

struct HelperLocations {
    std::optional<std::filesystem::path> resourceDirectory = defaultResourceDirectory();
    std::vector<std::filesystem::path> nodeFallbacks = defaultFallbacks("node");
    std::vector<std::filesystem::path> cloudflaredFallbacks = defaultFallbacks("cloudflared");
};

class AgentHelpers {
public:
    AgentHelpers(HelperLocations locations, std::string port, std::uint16_t controlPort,
                 std::string controlSecret);

    [[nodiscard]] const HelperLocations& locations() const { return locations_; }
    // <resources>/bin and <resources>/agent; empty paths when the resources are unknown.
    [[nodiscard]] std::filesystem::path binDirectory() const;
    [[nodiscard]] std::filesystem::path agentDirectory() const;

    // The resources' bin first, then the fallbacks in order; the first executable file wins.
    // Throws AppError "缺少 <name>，请重新获取完整安装包。" when none is.
    [[nodiscard]] std::filesystem::path
    executable(std::string_view name, std::span<const std::filesystem::path> fallbacks) const;

    // The agent server's: the app's own environment (HOME, DISPLAY, LANG: the terminal, the
    // token file and the clipboard need them) without the seven agent variables, then those seven
    // in this order: PATH, ZEL_AGENT_HOST, ZEL_AGENT_PORT, ZEL_AGENT_ENABLE_TERMINAL,
    // ZEL_AGENT_HELPER_BIN_DIR, ZEL_AGENT_SCREENSHOT_URL, ZEL_AGENT_INPUT_URL.
    [[nodiscard]] Environment agentEnvironment() const;
    // Every other helper's (the tunnel client, the token query): the app's own environment
    // without any ZEL_AGENT_ variable, then PATH. The control secret never reaches them.
    [[nodiscard]] Environment helperEnvironment() const;

    // Runs the helper with the helper environment to its end and returns its merged output.
    // A failure's output goes into the log verbatim, a success's never (it may be a secret);
    // a non-zero status throws AppError with the trimmed output, or "命令执行失败。" when that is
    // empty. Output that is not valid UTF-8 counts as empty. Launch failures pass on as
    // system_error. onLaunched receives the running child, so that a stop can end a run that hangs.
    [[nodiscard]] std::string
    runAndCapture(const std::filesystem::path& executable, std::span<const std::string> arguments,
                  const std::filesystem::path& currentDirectory,
                  const std::function<void(std::shared_ptr<HelperProcess>)>& onLaunched = {}) const;

    // The agent directory when it holds the server; throws AppError "缺少 agent，请重新获取完整
    // 安装包。" otherwise, so that node never runs whatever src/ the working directory has.
    [[nodiscard]] std::filesystem::path agentServerDirectory() const;

private:
    HelperLocations locations_;
    std::string port_;
    [[nodiscard]] std::string helperPath() const;

    std::uint16_t controlPort_;
    std::string controlSecret_;
};

// An output handler that appends "[" + name + "] " + chunk to the log for every chunk (one
// prefix per chunk, nothing added); a chunk that is not valid UTF-8 is dropped.
OutputHandler attachLogging(std::string_view name);

} // namespace zel
