// One running app per user: a second start would fight the first over the fixed ports.
#pragma once

#include <filesystem>
#include <optional>

namespace zel {

class InstanceLock {
public:
    // $XDG_RUNTIME_DIR/zel-desktop-agent.lock, else /tmp/zel-desktop-agent-<uid>.lock.
    static std::filesystem::path defaultPath();
    // The lock, or nothing when another process holds it. The lock goes with the process, so a
    // crashed app never blocks the next start.
    static std::optional<InstanceLock> acquire(const std::filesystem::path& path = defaultPath());

    // Asks the running app (the lock's holder) to bring its window to the front; false when
    // nobody answers at its socket.
    static bool askToRaise(const std::filesystem::path& lockPath = defaultPath());
    // The holder's socket for those requests, non-blocking: each connection to it is one request.
    // -1 when it cannot be made (a second start then only fails).
    int listenForRaise();

    InstanceLock(InstanceLock&& other) noexcept
        : fd_(other.fd_), socket_(other.socket_), lockPath_(std::move(other.lockPath_)),
          socketPath_(std::move(other.socketPath_)) {
        other.fd_ = -1;
        other.socket_ = -1;
    }
    InstanceLock& operator=(InstanceLock&&) = delete;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock();

private:
    explicit InstanceLock(int fd, std::filesystem::path lockPath)
        : fd_(fd), lockPath_(std::move(lockPath)) {}
    int fd_;
    int socket_ = -1;
    std::filesystem::path lockPath_;
    std::filesystem::path socketPath_;
};

} // namespace zel
