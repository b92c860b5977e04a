#include "platform/wayland/sway_windows.hpp"

#include "base/app_error.hpp"

#include <algorithm>
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
constexpr std::uint32_t kRunCommand = 0;
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

// One IPC message over a fresh connection and sway's JSON answer; null on any failure.
nlohmann::json ask(const std::string& socketPath, std::uint32_t type, std::string_view body = {}) {
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
    const auto size = static_cast<std::uint32_t>(body.size());
    std::memcpy(header.data() + 6, &size, 4);
    std::memcpy(header.data() + 10, &type, 4);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        sendAll(fd, header.data(), header.size()) && sendAll(fd, body.data(), body.size()) &&
        receiveAll(fd, header.data(), header.size()) &&
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

nlohmann::json getTree(const std::string& socketPath) {
    return ask(socketPath, kGetTree);
}

// Calls `visit` on every node of the tree, depth first, tiled children before floating ones.
template <class Visit>
void walk(const nlohmann::json& node, const Visit& visit, int depth = 0) {
    if (!node.is_object() || depth > 64) {
        return;
    }
    visit(node);
    for (const char* children : {"nodes", "floating_nodes"}) {
        const auto it = node.find(children);
        if (it != node.end() && it->is_array()) {
            for (const auto& child : *it) {
                walk(child, visit, depth + 1);
            }
        }
    }
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

class SwayDesktopWindows final : public DesktopWindows {
public:
    SwayDesktopWindows(std::string socket, pid_t pid) : socket_(std::move(socket)), pid_(pid) {}

    std::vector<DesktopWindow> list() override {
        const auto tree = getTree(socket_);
        if (tree.is_null()) {
            throw AppError("sway's IPC does not answer ($SWAYSOCK).");
        }
        return desktopWindowsOf(tree, pid_);
    }

    bool focus(const DesktopWindow& window) override {
        if (window.id.empty() || !std::all_of(window.id.begin(), window.id.end(),
                                              [](char c) { return c >= '0' && c <= '9'; })) {
            throw AppError("No window " + window.id + " on the desktop.");
        }
        const auto answer = ask(socket_, kRunCommand, "[con_id=" + window.id + "] focus");
        if (!answer.is_array() || answer.empty() || !answer[0].value("success", false)) {
            throw AppError("sway did not focus window " + window.id + ".");
        }
        const auto now = list();
        return std::any_of(now.begin(), now.end(),
                           [&](const DesktopWindow& w) { return w.id == window.id && w.focused; });
    }

private:
    std::string socket_;
    pid_t pid_;
};

} // namespace

std::vector<DesktopWindow> desktopWindowsOf(const nlohmann::json& tree, pid_t ownPid) {
    std::vector<DesktopWindow> windows;
    walk(tree, [&](const nlohmann::json& node) {
        const auto pid = node.find("pid");
        const auto id = node.find("id");
        if (pid == node.end() || !pid->is_number_integer() || id == node.end() ||
            !id->is_number_integer()) {
            return; // not a view
        }
        DesktopWindow window;
        window.id = std::to_string(id->get<std::int64_t>());
        window.pid = pid->get<std::int64_t>();
        window.own = window.pid == ownPid;
        const auto text = [&](const nlohmann::json& object, const char* key) {
            const auto it = object.find(key);
            return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
        };
        window.title = text(node, "name");
        window.application = text(node, "app_id");
        if (const auto x11 = node.find("window_properties");
            window.application.empty() && x11 != node.end() && x11->is_object()) {
            window.application = text(*x11, "class");
        }
        window.focused = node.value("focused", false);
        // Another workspace's window has a place, but not on the screen now.
        if (node.value("visible", false)) {
            const auto rect = node.value("rect", nlohmann::json::object());
            window.bounds = DisplayBounds{rect.value("x", 0.0), rect.value("y", 0.0),
                                          rect.value("width", 0.0), rect.value("height", 0.0)};
        }
        windows.push_back(std::move(window));
    });
    // The focused one is on top; sway tells no other stacking.
    std::stable_sort(windows.begin(), windows.end(),
                     [](const auto& a, const auto& b) { return a.focused && !b.focused; });
    return windows;
}

std::shared_ptr<DesktopWindows> makeSwayDesktopWindows(std::string socket, pid_t ownPid) {
    if (socket.empty()) {
        return nullptr;
    }
    return std::make_shared<SwayDesktopWindows>(std::move(socket), ownPid);
}

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
