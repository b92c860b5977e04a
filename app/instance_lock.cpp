#include "app/instance_lock.hpp"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zel {
namespace {

std::filesystem::path socketPathOf(const std::filesystem::path& lockPath) {
    auto path = lockPath;
    return path.replace_extension(".sock");
}

// False when the path does not fit a socket address.
bool fillAddress(sockaddr_un& address, const std::filesystem::path& path) {
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return true;
}

} // namespace

std::filesystem::path InstanceLock::defaultPath() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && *runtime == '/') {
        return std::filesystem::path(runtime) / "zel-desktop-agent.lock";
    }
    return "/tmp/zel-desktop-agent-" + std::to_string(::getuid()) + ".lock";
}

std::optional<InstanceLock> InstanceLock::acquire(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        // Without a lock file we cannot tell; starting beats refusing to start.
        return InstanceLock(-1, path);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    return InstanceLock(fd, path);
}

bool InstanceLock::askToRaise(const std::filesystem::path& lockPath) {
    sockaddr_un address{};
    if (!fillAddress(address, socketPathOf(lockPath))) {
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool delivered =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return delivered;
}

int InstanceLock::listenForRaise() {
    if (socket_ >= 0 || fd_ < 0) {
        return socket_;
    }
    sockaddr_un address{};
    const auto path = socketPathOf(lockPath_);
    if (!fillAddress(address, path)) {
        return -1;
    }
    // Only the lock's holder gets here, so a socket file left there is a crashed run's.
    ::unlink(path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    socket_ = fd;
    socketPath_ = path;
    return socket_;
}

InstanceLock::~InstanceLock() {
    if (socket_ >= 0) {
        ::close(socket_);
        ::unlink(socketPath_.c_str());
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

} // namespace zel
