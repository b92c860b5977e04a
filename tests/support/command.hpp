// Runs a command to its end and captures what it wrote, for tests that drive command-line tools.
#pragma once

#include <chrono>
#include <functional>
#include <spawn.h>
#include <string>
#include <vector>

namespace zel::test {

struct CommandResult {
    int exitStatus = -1; // -1 when the command did not exit normally
    std::string output;  // standard output only; standard error goes to ours
};

// Both look argv[0] up in PATH and give it our environment plus env ("NAME=value", overriding
// ours). spawn throws std::runtime_error when it cannot start the command.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const posix_spawn_file_actions_t* actions = nullptr);

// spawn with standard output and error written to the log file (created afresh).
pid_t spawnLogged(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& log);

CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {});

// Gone, or a zombie that nobody reaps (an orphan's new parent may not be a real init).
bool ended(pid_t pid);

// What `request` threw, or empty when it returned.
template <typename Request>
std::string errorText(Request&& request) {
    try {
        request();
        return {};
    } catch (const std::exception& error) {
        return error.what();
    }
}

// Polls `done` every 200 ms until it holds or the timeout passes; its last answer.
bool waitUntil(const std::function<bool()>& done, std::chrono::seconds timeout);

} // namespace zel::test
