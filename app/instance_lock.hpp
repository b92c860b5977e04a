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

    InstanceLock(InstanceLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    InstanceLock& operator=(InstanceLock&&) = delete;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock();

private:
    explicit InstanceLock(int fd) : fd_(fd) {}
    int fd_;
};

} // namespace zel
