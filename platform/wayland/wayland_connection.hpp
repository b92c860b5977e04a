// One client connection to a Wayland compositor: its globals (outputs with their layout, shared
// memory, the seat, the wlroots capture and input managers) and waiting for its answers with a
// time limit. Not thread-safe by itself: every user takes lock() around its work.
#pragma once

#include "platform/wayland/wayland_handles.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zel::wayland {

// A compositor that does not answer within this is treated as gone.
inline constexpr std::chrono::seconds kAnswerLimit{3};

// One output in the compositor's layout, in logical (scaled) coordinates.
struct Output {
    std::uint32_t global = 0;
    Proxy<wl_output> output;
    Proxy<zxdg_output_v1> xdgOutput; // goes first
    std::string name;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    // From wl_output, used where the compositor offers no xdg_output.
    int modeWidth = 0;
    int modeHeight = 0;
    int scale = 1;
    // wl_output.transform: how the output's own pixels are turned against the layout.
    int transform = 0;
    bool hasLogical = false;

    // The display id: the compositor's output name, or its global number where it names none.
    [[nodiscard]] std::string id() const { return name.empty() ? std::to_string(global) : name; }

    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
};

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

class Connection {
public:
    // Connects to the named socket ($WAYLAND_DISPLAY when empty) and reads the globals and output
    // layout; throws std::runtime_error with a readable text.
    explicit Connection(const std::string& socket = {});
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    std::unique_lock<std::mutex> lock() { return std::unique_lock(mutex_); }

    [[nodiscard]] wl_display* display() const { return display_.get(); }
    // True once the connection has failed: a socket or protocol error, a compositor gone (which
    // libwayland does not record for a write) or one that left a request unanswered.
    [[nodiscard]] bool broken() const;
    // Sends what is queued and waits for done() while handling events; throws
    // std::runtime_error when the connection fails or the deadline passes first.
    void dispatchUntil(const std::function<bool()>& done,
                       std::chrono::steady_clock::time_point deadline);
    // The same for waits that may rightly outlast the deadline (for the next damage): false
    // when it passed first, and the connection stays usable.
    bool dispatchFor(const std::function<bool()>& done,
                     std::chrono::steady_clock::time_point deadline);
    // Waits until the compositor has handled every request sent so far (output changes arrive).
    void roundtrip();
    // Sends queued requests without waiting; throws when the connection has failed.
    void flush();

    // Outputs in the compositor's order; the first is the main one.
    [[nodiscard]] const std::vector<std::unique_ptr<Output>>& outputs() const { return outputs_; }
    // The output's logical rectangle, from xdg_output or else from its mode and scale.
    static Rect rect(const Output& output);
    [[nodiscard]] wl_shm* shm() const { return globals_.shm.get(); }
    [[nodiscard]] wl_seat* seat() const { return globals_.seat.get(); }
    [[nodiscard]] zwlr_screencopy_manager_v1* screencopy() const {
        return globals_.screencopy.get();
    }
    [[nodiscard]] std::uint32_t screencopyVersion() const { return screencopyVersion_; }
    [[nodiscard]] zwlr_virtual_pointer_manager_v1* pointerManager() const {
        return globals_.pointerManager.get();
    }
    [[nodiscard]] zwp_virtual_keyboard_manager_v1* keyboardManager() const {
        return globals_.keyboardManager.get();
    }

    // The protocols the backends need that this compositor lacks, by interface name.
    [[nodiscard]] std::vector<std::string> missingCaptureProtocols() const;
    [[nodiscard]] std::vector<std::string> missingInputProtocols() const;

    // Registry callbacks; public for the C listeners only.
    void addGlobal(std::uint32_t name, const char* interface, std::uint32_t version);
    void removeGlobal(std::uint32_t name);
    void describe(Output& output);

private:
    [[noreturn]] void fail(const char* what);

    std::mutex mutex_;
    std::atomic<bool> failed_{false};
    std::string socket_;
    // The bound globals, released in this order before the display's last flush.
    struct Globals {
        Proxy<zwlr_screencopy_manager_v1> screencopy;
        Proxy<zwlr_virtual_pointer_manager_v1> pointerManager;
        Proxy<zwp_virtual_keyboard_manager_v1> keyboardManager;
        Proxy<zxdg_output_manager_v1> xdgOutputManager;
        Proxy<wl_seat> seat;
        Proxy<wl_shm> shm;
        Proxy<wl_registry> registry;
    };

    DisplayPtr display_;
    Globals globals_;
    std::uint32_t screencopyVersion_ = 0;
    std::vector<std::unique_ptr<Output>> outputs_;
};

// A connection kept for the next caller and replaced once it has failed, so that a compositor
// restart costs one failed request. Safe from several threads.
class ConnectionCache {
public:
    explicit ConnectionCache(std::string socket = {}) : socket_(std::move(socket)) {}
    // The kept connection, or a new one; throws std::runtime_error when none can be made.
    std::shared_ptr<Connection> get();

private:
    std::mutex mutex_;
    std::string socket_;
    std::shared_ptr<Connection> connection_;
};

// Empty when the compositor at the socket offers what both backends need; otherwise why not
// (it cannot be reached, or the protocols it lacks), as a sentence for the log.
std::string unsupportedReason(const std::string& socket = {});

// The socket's display name for texts: the argument, else $WAYLAND_DISPLAY, else "wayland-0".
std::string socketName(const std::string& socket);

} // namespace zel::wayland
