#include "tests/support/command.hpp"

#include "tests/support/temp_dir.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ; // NOLINT: POSIX

namespace zel::test {

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const posix_spawn_file_actions_t* actions) {
    // Overrides replace inherited entries of the same name.
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        merged[text.substr(0, text.find('='))] = text;
    }
    for (const auto& text : env) {
        merged[text.substr(0, text.find('='))] = text;
    }
    std::vector<char*> envp;
    envp.reserve(merged.size() + 1);
    for (auto& [name, text] : merged) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    argp.reserve(args.size() + 1);
    for (auto& arg : args) {
        argp.push_back(arg.data());
    }
    argp.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argp[0], actions, nullptr, argp.data(), envp.data());
    if (rc != 0) {
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
    return pid;
}

CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    CommandResult result;
    pid_t pid = -1;
    try {
        pid = spawn(argv, env, &actions);
    } catch (const std::runtime_error&) { // NOLINT(bugprone-empty-catch): exitStatus stays -1
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return result;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n > 0) {
            result.output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    }
    return result;
}

bool ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    return line.empty() || line.substr(line.rfind(')') + 2, 1) == "Z";
}

bool waitUntil(const std::function<bool()>& done, std::chrono::seconds timeout) {
    for (const auto end = std::chrono::steady_clock::now() + timeout;
         std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(200))) {
        if (done()) {
            return true;
        }
    }
    return done();
}

pid_t spawnLogged(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::unique_ptr<posix_spawn_file_actions_t, int (*)(posix_spawn_file_actions_t*)> destroy(
        &actions, posix_spawn_file_actions_destroy);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    return spawn(argv, env, &actions);
}

} // namespace zel::test
