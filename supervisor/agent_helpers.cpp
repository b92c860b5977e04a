// Helper look-up, the agent environment, captured runs and output logging.
#include "supervisor/agent_helpers.hpp"

#include "base/agent_log.hpp"
#include "base/app_error.hpp"
#include "base/unicode_text.hpp"

#include <algorithm>
#include <iterator>
#include <unistd.h>

extern char** environ; // NOLINT: POSIX

namespace zel {
namespace {

// Helpers get a fixed search list after their own bin; the app's own PATH is never passed on.
constexpr std::string_view kFixedPath =
    "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";

bool isExecutableFile(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

} // namespace

std::optional<std::filesystem::path> defaultResourceDirectory() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    auto directory = std::filesystem::canonical(
        self.parent_path() / ".." / "share" / "zel-desktop-agent", error);
    if (error) {
        return std::nullopt;
    }
    return directory;
}

std::vector<std::filesystem::path> defaultFallbacks(std::string_view name) {
    std::vector<std::filesystem::path> paths;
    for (const std::string_view directory :
         {"/opt/homebrew/bin/", "/usr/local/bin/", "/usr/bin/"}) {
        paths.emplace_back(std::string(directory) + std::string(name));
    }
    return paths;
}

AgentHelpers::AgentHelpers(HelperLocations locations, std::string port, std::uint16_t controlPort,
                           std::string controlSecret)
    : locations_(std::move(locations)), port_(std::move(port)), controlPort_(controlPort),
      controlSecret_(std::move(controlSecret)) {}

std::filesystem::path AgentHelpers::binDirectory() const {
    return locations_.resourceDirectory ? *locations_.resourceDirectory / "bin"
                                        : std::filesystem::path();
}

std::filesystem::path AgentHelpers::agentDirectory() const {
    return locations_.resourceDirectory ? *locations_.resourceDirectory / "agent"
                                        : std::filesystem::path();
}

std::filesystem::path
AgentHelpers::executable(std::string_view name,
                         std::span<const std::filesystem::path> fallbacks) const {
    if (locations_.resourceDirectory) {
        auto bundled = binDirectory() / name;
        if (isExecutableFile(bundled)) {
            return bundled;
        }
    }
    for (const auto& candidate : fallbacks) {
        if (isExecutableFile(candidate)) {
            return candidate;
        }
    }
    throw AppError("缺少 " + std::string(name) + "，请重新获取完整安装包。");
}

namespace {

// Ours without the given names and without any ZEL_AGENT_ variable unless `keepAgent`, then
// `own` in its order: own values replace inherited ones of the same name.
Environment inheritedWith(Environment own, bool keepAgent) {
    Environment result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const auto equals = text.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            continue;
        }
        const std::string name(text.substr(0, equals));
        const bool replaced = std::any_of(
            own.begin(), own.end(), [&](const auto& variable) { return variable.first == name; });
        if (!replaced && (keepAgent || !name.starts_with("ZEL_AGENT_"))) {
            result.emplace_back(name, std::string(text.substr(equals + 1)));
        }
    }
    result.insert(result.end(), std::make_move_iterator(own.begin()),
                  std::make_move_iterator(own.end()));
    return result;
}

} // namespace

std::string AgentHelpers::helperPath() const {
    const std::string bin = binDirectory().string();
    // Without resources there is no bin to put first; an empty PATH entry would mean "here".
    return bin.empty() ? std::string(kFixedPath) : bin + ":" + std::string(kFixedPath);
}

Environment AgentHelpers::agentEnvironment() const {
    const std::string base = "http://127.0.0.1:" + std::to_string(controlPort_);
    // The helpers inherit ours (HOME, DISPLAY, LANG: the terminal, the token file and the
    // clipboard need them); the seven below replace inherited values of the same name.
    return inheritedWith(
        {
            {"PATH", helperPath()},
            {"ZEL_AGENT_HOST", "127.0.0.1"},
            {"ZEL_AGENT_PORT", port_},
            {"ZEL_AGENT_ENABLE_TERMINAL", "1"},
            {"ZEL_AGENT_HELPER_BIN_DIR", binDirectory().string()},
            {"ZEL_AGENT_SCREENSHOT_URL", base + "/screenshot?secret=" + controlSecret_},
            {"ZEL_AGENT_INPUT_URL", base + "/input?secret=" + controlSecret_},
        },
        true);
}

Environment AgentHelpers::helperEnvironment() const {
    return inheritedWith({{"PATH", helperPath()}}, false);
}

std::filesystem::path AgentHelpers::agentServerDirectory() const {
    auto directory = agentDirectory();
    std::error_code error;
    if (directory.empty() ||
        !std::filesystem::is_regular_file(directory / "src" / "server.js", error)) {
        throw AppError("缺少 agent，请重新获取完整安装包。");
    }
    return directory;
}

std::string AgentHelpers::runAndCapture(
    const std::filesystem::path& executable, std::span<const std::string> arguments,
    const std::filesystem::path& currentDirectory,
    const std::function<void(std::shared_ptr<HelperProcess>)>& onLaunched) const {
    std::string output;
    // The reader thread appends until end of stream; waitForOutputEnd() orders its writes
    // before our reads.
    const auto process =
        HelperProcess::launch({.executable = executable,
                               .arguments = {arguments.begin(), arguments.end()},
                               .currentDirectory = currentDirectory,
                               .environment = helperEnvironment()},
                              [&output](std::string_view chunk) { output.append(chunk); });
    if (onLaunched) {
        onLaunched(process);
    }
    process->waitForOutputEnd();
    const ExitStatus status = process->waitUntilExit();
    if (!isValidUTF8(output)) {
        output.clear();
    }
    // A success's output is the answer (a token, say): it never goes into the log.
    if (!status.success()) {
        appendLog(output);
        const auto trimmed = trimWhitespace(output);
        throw AppError(trimmed.empty() ? std::string("命令执行失败。") : std::string(trimmed));
    }
    return output;
}

OutputHandler attachLogging(std::string_view name) {
    return [prefix = "[" + std::string(name) + "] "](std::string_view chunk) {
        if (chunk.empty() || !isValidUTF8(chunk)) {
            return;
        }
        std::string line = prefix;
        line.append(chunk);
        appendLog(line);
    };
}

} // namespace zel
