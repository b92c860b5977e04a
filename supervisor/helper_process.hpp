// The helper process runner: a child started with fork and exec, its stdout and stderr merged into
// one pipe that a reader thread drains in arrival order, reaped by that thread when it ends. The
// child takes SIGTERM when the app goes, however it goes.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace zel {

// The child's whole environment, in the order given; nothing of ours is added.
using Environment = std::vector<std::pair<std::string, std::string>>;

// Called on the reader thread, one chunk at a time in arrival order; never with an empty chunk.
using OutputHandler = std::function<void(std::string_view chunk)>;

struct ExitStatus;
// Called once on the reader thread when the child has ended and been reaped.
using ExitHandler = std::function<void(ExitStatus status)>;

struct HelperCommand {
    std::filesystem::path executable;
    std::vector<std::string> arguments;
    // Empty: the child runs in our own working directory.
    std::filesystem::path currentDirectory;
    Environment environment;
    // A descriptor the child gets as kChannelDescriptor (a socket to talk over); -1 for none.
    // The caller keeps its own and closes it when it likes: the child has a copy.
    int channel = -1;
};

inline constexpr int kChannelDescriptor = 3;

// How a child ended: its exit code, or the signal that ended it.
struct ExitStatus {
    bool signalled = false;
    int value = 0;

    [[nodiscard]] bool success() const { return !signalled && value == 0; }
    friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

class HelperProcess {
public:
    // Starts the child or throws std::system_error with the platform's reason. The reader thread
    // keeps its own reference to the process state, so output and reaping go on after the last
    // handle is dropped: what a terminated child still writes reaches the handler.
    static std::shared_ptr<HelperProcess> launch(const HelperCommand& command,
                                                 OutputHandler onOutput, ExitHandler onExit = {});

    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;
    ~HelperProcess();

    [[nodiscard]] pid_t pid() const;
    // True from launch until the child has ended (it is then already reaped).
    [[nodiscard]] bool isRunning() const;
    // Sends SIGTERM and returns at once; a child that has ended ignores it.
    void terminate();
    // SIGKILL, for a child that did not take SIGTERM in time.
    void kill();
    ExitStatus waitUntilExit();
    // Returns once the end of the output stream has been handled (every chunk delivered).
    void waitForOutputEnd();
    // Both waits with a limit; false when the limit passed first.
    bool waitUntilExit(std::chrono::milliseconds limit);
    bool waitForOutputEnd(std::chrono::milliseconds limit);

    struct State;

private:
    explicit HelperProcess(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

} // namespace zel
