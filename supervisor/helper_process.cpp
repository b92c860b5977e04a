// posix_spawn with exactly the given environment, one pipe for both output streams, and one thread
// per child that reads the pipe to its end and reaps the child through a pidfd.
#include "supervisor/helper_process.hpp"

#include <array>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace zel {
namespace {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    [[nodiscard]] int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

[[noreturn]] void throwErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

// Keeps our own descriptors clear of 0, 1 and 2, which the child's file actions overwrite.
UniqueFd aboveStandardStreams(int fd) {
    if (fd > STDERR_FILENO) {
        return UniqueFd(fd);
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    ::close(fd);
    if (moved < 0) {
        throwErrno(error, "fcntl");
    }
    return UniqueFd(moved);
}

struct SpawnActions {
    posix_spawn_file_actions_t actions{};
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

struct SpawnAttributes {
    posix_spawnattr_t attributes{};
    SpawnAttributes() { posix_spawnattr_init(&attributes); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
};

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

ExitStatus exitStatusOf(const siginfo_t& info) {
    if (info.si_code == CLD_EXITED) {
        return {.signalled = false, .value = info.si_status};
    }
    return {.signalled = true, .value = info.si_status};
}

} // namespace

struct HelperProcess::State {
    pid_t pid = -1;
    UniqueFd pidfd;
    UniqueFd output;
    OutputHandler onOutput;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::optional<ExitStatus> exit;
    bool outputEnded = false;
    std::optional<std::chrono::steady_clock::time_point> terminateRequestedAt;

    void run();
    void deliver(std::string_view chunk) const;
    void reap();
};

void HelperProcess::State::deliver(std::string_view chunk) const {
    if (!onOutput) {
        return;
    }
    try {
        onOutput(chunk);
    } catch (...) { // NOLINT(bugprone-empty-catch): a failing handler loses its chunk, not the rest
    }
}

void HelperProcess::State::reap() {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED) != 0 && errno == EINTR) {
    }
    const std::lock_guard lock(mutex);
    exit = exitStatusOf(info);
    changed.notify_all();
}

// Reading stops at end of stream, not when the child ends: a grandchild may still hold the pipe,
// and what it writes is the child's output too.
void HelperProcess::State::run() {
    std::vector<char> buffer(std::size_t{64} * 1024);
    bool reading = true;
    bool waiting = true;
    while (reading || waiting) {
        std::array<pollfd, 2> fds{};
        nfds_t count = 0;
        if (reading) {
            fds[count++] = {.fd = output.get(), .events = POLLIN, .revents = 0};
        }
        if (waiting) {
            fds[count++] = {.fd = pidfd.get(), .events = POLLIN, .revents = 0};
        }
        if (::poll(fds.data(), count, -1) < 0) {
            continue; // EINTR; nothing else can fail with valid descriptors
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            if (fds[i].fd == pidfd.get()) {
                reap();
                waiting = false;
                continue;
            }
            const ssize_t n = ::read(output.get(), buffer.data(), buffer.size());
            if (n > 0) {
                deliver(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                reading = false;
                output.reset();
                const std::lock_guard lock(mutex);
                outputEnded = true;
                changed.notify_all();
            }
        }
    }
}

std::shared_ptr<HelperProcess> HelperProcess::launch(const HelperCommand& command,
                                                     OutputHandler onOutput) {
    std::array<int, 2> pipeEnds{};
    if (::pipe2(pipeEnds.data(), O_CLOEXEC) != 0) {
        throwErrno(errno, "pipe2");
    }
    UniqueFd readEnd = aboveStandardStreams(pipeEnds[0]);
    const UniqueFd writeEnd = aboveStandardStreams(pipeEnds[1]);

    SpawnActions actions;
    auto* fileActions = &actions.actions;
    if (!command.currentDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(fileActions, command.currentDirectory.c_str());
    }
    posix_spawn_file_actions_addopen(fileActions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(fileActions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(fileActions, writeEnd.get(), STDERR_FILENO);
    // Descriptors opened elsewhere in the process without O_CLOEXEC must not reach the child.
    posix_spawn_file_actions_addclosefrom_np(fileActions, STDERR_FILENO + 1);

    // The child starts with every signal at its default and none blocked, whatever this thread
    // blocks or the app ignores.
    SpawnAttributes attributes;
    sigset_t signals;
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes.attributes, &signals);
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes.attributes, &signals);
    posix_spawnattr_setflags(&attributes.attributes,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> argv{command.executable.string()};
    argv.insert(argv.end(), command.arguments.begin(), command.arguments.end());
    std::vector<std::string> envp;
    envp.reserve(command.environment.size());
    for (const auto& [name, value] : command.environment) {
        std::string entry = name;
        entry += '=';
        entry += value;
        envp.push_back(std::move(entry));
    }
    auto argvPointers = pointersTo(argv);
    auto envpPointers = pointersTo(envp);

    pid_t pid = -1;
    const int error =
        ::posix_spawn(&pid, command.executable.c_str(), fileActions, &attributes.attributes,
                      argvPointers.data(), envpPointers.data());
    if (error != 0) {
        std::string what = "Cannot run " + command.executable.string();
        if (!command.currentDirectory.empty()) {
            what += " in " + command.currentDirectory.string();
        }
        throwErrno(error, what);
    }

    auto state = std::make_shared<State>();
    state->pid = pid;
    state->output = std::move(readEnd);
    state->onOutput = std::move(onOutput);
    // Until we reap the child its pid cannot be reused, so the pidfd names exactly our child.
    state->pidfd = UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    try {
        if (state->pidfd.get() < 0) {
            throwErrno(errno, "pidfd_open");
        }
        std::thread([state] { state->run(); }).detach();
    } catch (...) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        throw;
    }
    return std::shared_ptr<HelperProcess>(new HelperProcess(std::move(state)));
}

HelperProcess::HelperProcess(std::shared_ptr<State> state) : state_(std::move(state)) {}

HelperProcess::~HelperProcess() = default;

pid_t HelperProcess::pid() const {
    return state_->pid;
}

bool HelperProcess::isRunning() const {
    const std::lock_guard lock(state_->mutex);
    return !state_->exit.has_value();
}

void HelperProcess::terminate() {
    const std::lock_guard lock(state_->mutex);
    if (!state_->terminateRequestedAt) {
        state_->terminateRequestedAt = std::chrono::steady_clock::now();
    }
    if (!state_->exit) {
        ::syscall(SYS_pidfd_send_signal, state_->pidfd.get(), SIGTERM, nullptr, 0);
    }
}

std::optional<std::chrono::steady_clock::time_point> HelperProcess::terminateRequestedAt() const {
    const std::lock_guard lock(state_->mutex);
    return state_->terminateRequestedAt;
}

ExitStatus HelperProcess::waitUntilExit() {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [this] { return state_->exit.has_value(); });
    return *state_->exit;
}

void HelperProcess::waitForOutputEnd() {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [this] { return state_->outputEnded; });
}

bool HelperProcess::waitUntilExit(std::chrono::milliseconds limit) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, limit, [this] { return state_->exit.has_value(); });
}

bool HelperProcess::waitForOutputEnd(std::chrono::milliseconds limit) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, limit, [this] { return state_->outputEnded; });
}

} // namespace zel
