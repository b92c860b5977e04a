#include "tests/support/xvfb.hpp"

#include "tests/support/command.hpp"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zel::test {

Xvfb::Xvfb(int width, int height, std::vector<std::string> extraArgs) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    // Xvfb writes the display number it chose to the descriptor given by -displayfd.
    constexpr int kChildFd = 3;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], kChildFd);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // -noreset: a server left by its last client resets, and a client that connects meanwhile
    // (a test polling for a window before the app is up) can hang in the handshake.
    std::vector<std::string> argv = {
        "Xvfb",      "-displayfd", std::to_string(kChildFd),
        "-screen",   "0",          std::to_string(width) + "x" + std::to_string(height) + "x24",
        "-nolisten", "tcp",        "-noreset"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    try {
        pid_ = spawn(argv, {}, &actions);
    } catch (...) {
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[0]);
        ::close(fds[1]);
        throw;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);

    std::string number;
    pollfd pfd{fds[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos && ::poll(&pfd, 1, 10000) > 0) {
        char buffer[32];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        number.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (number.find('\n') == std::string::npos) {
        stop();
        throw std::runtime_error("Xvfb did not start");
    }
    display_ = ":" + number.substr(0, number.find('\n'));
}

Xvfb::~Xvfb() {
    stop();
}

void Xvfb::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env)
    : pid_(spawn(argv, env, nullptr)) {}

Child::~Child() {
    if (pid_ > 0 && !status_) {
        // A polite end first, so that a child with helpers of its own can stop them.
        ::kill(pid_, SIGTERM);
        if (!waitFor(std::chrono::seconds(10))) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
}

void Child::signal(int signalNumber) const {
    ::kill(pid_, signalNumber);
}

std::optional<int> Child::waitFor(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = status;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

} // namespace zel::test
