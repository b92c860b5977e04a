#include "platform/wayland/sway_windows.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zel::wayland {
namespace {

constexpr std::string_view kMagic = "i3-ipc";
constexpr std::uint32_t kGetTree = 4;
// A tree is a few KB per window; anything far beyond is no answer of sway's.
constexpr std::uint32_t kMaxReply = 16U << 20U;

// Moves all `size` bytes with one system call's worth at a time (`step`: send or recv on fd);
// false when the peer is gone or fails.
template <class Step>
bool transferAll(Step step, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = step(done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool sendAll(int fd, const char* data, std::size_t size) {
    return transferAll(
        [&](std::size_t done) { return ::send(fd, data + done, size - done, MSG_NOSIGNAL); }, size);
}

bool receiveAll(int fd, char* data, std::size_t size) {
    return transferAll([&](std::size_t done) { return ::recv(fd, data + done, size - done, 0); },
                       size);
}

// GET_TREE over a fresh connection; discarded (null) on any failure.
nlohmann::json getTree(const std::string& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) {
        return nullptr;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return nullptr;
    }
    const timeval limit{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    nlohmann::json tree;
    std::array<char, 14> header{};
    std::memcpy(header.data(), kMagic.data(), kMagic.size());
    const std::uint32_t empty = 0;
    std::memcpy(header.data() + 6, &empty, 4);
    std::memcpy(header.data() + 10, &kGetTree, 4);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        sendAll(fd, header.data(), header.size()) && receiveAll(fd, header.data(), header.size()) &&
        std::string_view(header.data(), kMagic.size()) == kMagic) {
        std::uint32_t length = 0;
        std::memcpy(&length, header.data() + 6, 4);
        std::string payload(length, '\0');
        if (length <= kMaxReply && receiveAll(fd, payload.data(), payload.size())) {
            tree = nlohmann::json::parse(payload, nullptr, false);
        }
    }
    ::close(fd);
    return tree.is_discarded() ? nlohmann::json(nullptr) : tree;
}

void collect(const nlohmann::json& node, pid_t pid, OwnWindowState& state, int depth) {
    if (!node.is_object() || depth > 64) {
        return;
    }
    const auto pidField = node.find("pid");
    if (pidField != node.end() && pidField->is_number_integer() && pidField->get<pid_t>() == pid &&
        node.value("visible", false)) {
        const auto rect = node.value("rect", nlohmann::json::object());
        state.areas.push_back({rect.value("x", 0.0), rect.value("y", 0.0), rect.value("width", 0.0),
                               rect.value("height", 0.0)});
        state.focused = state.focused || node.value("focused", false);
    }
    for (const char* children : {"nodes", "floating_nodes"}) {
        const auto it = node.find(children);
        if (it != node.end() && it->is_array()) {
            for (const auto& child : *it) {
                collect(child, pid, state, depth + 1);
            }
        }
    }
}

class SwayWindows final : public OwnWindows {
public:
    SwayWindows(std::string socket, pid_t pid) : socket_(std::move(socket)), pid_(pid) {}
    bool covers(ScreenPoint point) override {
        return windowsOf(getTree(socket_), pid_).covers(point);
    }
    bool focused() override { return windowsOf(getTree(socket_), pid_).focused; }

private:
    std::string socket_;
    pid_t pid_;
};

} // namespace

OwnWindowState windowsOf(const nlohmann::json& tree, pid_t pid) {
    OwnWindowState state;
    collect(tree, pid, state, 0);
    return state;
}

std::shared_ptr<OwnWindows> makeSwayWindows(std::string socket, pid_t pid) {
    if (socket.empty()) {
        return nullptr;
    }
    return std::make_shared<SwayWindows>(std::move(socket), pid);
}

} // namespace zel::wayland
