// fork and exec with exactly the given environment, one pipe for both output streams, and one
// thread per child that reads the pipe to its end and reaps the child through a pidfd. Children
// end with the app even when it is killed outright: each is told to take SIGTERM when its parent
// goes.
#include "supervisor/helper_process.hpp"

#include <array>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <linux/close_range.h>
#include <mutex>
#include <poll.h>
#include <sys/prctl.h>
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

// What the child needs, made before the fork: after it only async-signal-safe calls are made.
struct Prepared {
    const char* executable = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    const char* directory = nullptr; // null: stay where we are
    int output = -1;
    int channel = -1;
};

// Tells the parent why the program could not start and ends the child.
[[noreturn]] void failChild(int errorPipe, int error) {
    (void)!::write(errorPipe, &error, sizeof error);
    ::_exit(127);
}

[[noreturn]] void becomeChild(const Prepared& prepared, pid_t parent, int errorPipe) {
    // A SIGKILLed app cannot stop its helpers, so the kernel does it. The parent may already be
    // gone, in which case the request came too late to matter.
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) {
        failChild(errorPipe, errno);
    }
    if (::getppid() != parent) {
        ::_exit(127);
    }
    // Every signal at its default and none blocked, whatever the app handles, ignores or blocks.
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        ::sigaction(signal, &standard, nullptr); // refused for KILL, STOP and libc's own: harmless
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (prepared.directory != nullptr && ::chdir(prepared.directory) != 0) {
        failChild(errorPipe, errno);
    }
    const int input = ::open("/dev/null", O_RDONLY);
    if (input < 0 || ::dup2(input, STDIN_FILENO) < 0 ||
        ::dup2(prepared.output, STDOUT_FILENO) < 0 || ::dup2(prepared.output, STDERR_FILENO) < 0) {
        failChild(errorPipe, errno);
    }
    int lastKept = STDERR_FILENO;
    if (prepared.channel >= 0) {
        // The error pipe may sit where the channel goes: move it out of the way first.
        if (errorPipe == kChannelDescriptor) {
            errorPipe = ::fcntl(errorPipe, F_DUPFD_CLOEXEC, kChannelDescriptor + 1);
            if (errorPipe < 0) {
                ::_exit(127);
            }
        }
        // dup2 clears close-on-exec on the copy, but not when both are the same descriptor.
        const bool moved = prepared.channel != kChannelDescriptor
                               ? ::dup2(prepared.channel, kChannelDescriptor) >= 0
                               : ::fcntl(kChannelDescriptor, F_SETFD, 0) == 0;
        if (!moved) {
            failChild(errorPipe, errno);
        }
        lastKept = kChannelDescriptor;
    }
    // Descriptors opened elsewhere in the process without O_CLOEXEC must not reach the program;
    // the error pipe stays open up to the exec.
    if (::close_range(static_cast<unsigned>(lastKept) + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        failChild(errorPipe, errno);
    }
    ::execve(prepared.executable, prepared.argv, prepared.envp);
    failChild(errorPipe, errno);
}

// Forks on a thread that lives as long as the process: Linux sends the parent-death signal when
// the thread that forked the child ends, not the process, and the threads that start helpers come
// and go.
class ForkThread {
public:
    // Never destroyed: its thread must outlive every helper.
    static ForkThread& instance() {
        static auto* const thread = new ForkThread(); // NOLINT(cppcoreguidelines-owning-memory)
        return *thread;
    }

    // The child's pid, or throws std::system_error with the reason the program could not start.
    pid_t spawn(const Prepared& prepared) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return request_ == nullptr; });
        Request request{&prepared};
        request_ = &request;
        changed_.notify_all();
        changed_.wait(lock, [&request] { return request.done; });
        if (request.error != 0) {
            throwErrno(request.error, request.what);
        }
        return request.pid;
    }

private:
    struct Request {
        const Prepared* prepared;
        pid_t pid = -1;
        int error = 0;
        const char* what = "";
        bool done = false;
    };

    ForkThread() {
        std::thread([this] { serve(); }).detach();
    }

    void serve() {
        // Blocked here, so that no handler of the app runs in a child before it resets them.
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::unique_lock lock(mutex_);
        while (true) {
            changed_.wait(lock, [this] { return request_ != nullptr; });
            Request& request = *request_;
            fork(request);
            request.done = true;
            request_ = nullptr;
            changed_.notify_all();
        }
    }

    static void fork(Request& request) {
        std::array<int, 2> errorPipe{};
        if (::pipe2(errorPipe.data(), O_CLOEXEC) != 0) {
            request = {request.prepared, -1, errno, "pipe2", true};
            return;
        }
        const UniqueFd errorRead(errorPipe[0]);
        UniqueFd errorWrite(errorPipe[1]);
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            becomeChild(*request.prepared, parent, errorWrite.get());
        }
        if (pid < 0) {
            request.error = errno;
            request.what = "fork";
            return;
        }
        errorWrite.reset();
        int error = 0;
        ssize_t n = 0;
        while ((n = ::read(errorRead.get(), &error, sizeof error)) < 0 && errno == EINTR) {
        }
        request.pid = pid;
        if (n == static_cast<ssize_t>(sizeof error)) {
            // The program never ran: reap the child here, nobody else knows of it.
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            request.error = error;
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    Request* request_ = nullptr; // guarded by mutex_
};

} // namespace

struct HelperProcess::State {
    pid_t pid = -1;
    UniqueFd pidfd;
    UniqueFd output;
    OutputHandler onOutput;
    ExitHandler onExit;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::optional<ExitStatus> exit;
    bool outputEnded = false;

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
    ExitStatus status = exitStatusOf(info);
    {
        const std::lock_guard lock(mutex);
        exit = status;
        changed.notify_all();
    }
    if (onExit) {
        try {
            onExit(status);
        } catch (...) { // NOLINT(bugprone-empty-catch): the reader goes on draining the output
        }
    }
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
                                                     OutputHandler onOutput, ExitHandler onExit) {
    std::array<int, 2> pipeEnds{};
    if (::pipe2(pipeEnds.data(), O_CLOEXEC) != 0) {
        throwErrno(errno, "pipe2");
    }
    UniqueFd readEnd = aboveStandardStreams(pipeEnds[0]);
    const UniqueFd writeEnd = aboveStandardStreams(pipeEnds[1]);

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
    const Prepared prepared{
        .executable = command.executable.c_str(),
        .argv = argvPointers.data(),
        .envp = envpPointers.data(),
        .directory = command.currentDirectory.empty() ? nullptr : command.currentDirectory.c_str(),
        .output = writeEnd.get(),
        .channel = command.channel,
    };

    pid_t pid = -1;
    try {
        pid = ForkThread::instance().spawn(prepared);
    } catch (const std::system_error& error) {
        std::string what = "Cannot run " + command.executable.string();
        if (!command.currentDirectory.empty()) {
            what += " in " + command.currentDirectory.string();
        }
        throw std::system_error(error.code(), what);
    }

    auto state = std::make_shared<State>();
    state->pid = pid;
    state->output = std::move(readEnd);
    state->onOutput = std::move(onOutput);
    state->onExit = std::move(onExit);
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
    if (!state_->exit) {
        ::syscall(SYS_pidfd_send_signal, state_->pidfd.get(), SIGTERM, nullptr, 0);
    }
}

void HelperProcess::kill() {
    const std::lock_guard lock(state_->mutex);
    if (!state_->exit) {
        ::syscall(SYS_pidfd_send_signal, state_->pidfd.get(), SIGKILL, nullptr, 0);
    }
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
