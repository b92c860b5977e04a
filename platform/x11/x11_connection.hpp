// The X11 connection shared by the backends, RAII for xcb replies, and the monitor list.
#pragma once

#include "base/c_handle.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <xcb/xcb.h>

namespace zel::x11 {

// xcb replies and errors are malloc'd by the library.
template <class T>
using Reply = CMemory<T>;

// One xcb connection; xcb is thread-safe, so a connection may serve several threads at once as
// long as it holds no per-request state.
class Connection {
public:
    // Opens the display named by $DISPLAY (or the given name); throws std::runtime_error with a
    // readable text when the X server cannot be reached.
    static std::shared_ptr<Connection> open(const char* displayName = nullptr);

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    [[nodiscard]] xcb_connection_t* get() const { return connection_; }
    [[nodiscard]] const xcb_screen_t& screen() const { return *screen_; }
    [[nodiscard]] xcb_window_t root() const { return screen_->root; }
    // True once the server has gone or the connection failed; it never recovers.
    [[nodiscard]] bool broken() const { return xcb_connection_has_error(connection_) != 0; }

private:
    Connection(xcb_connection_t* connection, xcb_screen_t* screen)
        : connection_(connection), screen_(screen) {}
    xcb_connection_t* connection_;
    xcb_screen_t* screen_;
};

// Keeps one connection and opens a fresh one when the kept one broke (the X server restarted).
class ConnectionCache {
public:
    // Throws like Connection::open when no connection can be made.
    std::shared_ptr<Connection> get();

private:
    std::mutex mutex_;
    std::shared_ptr<Connection> connection_;
};

// A monitor's rectangle in root-window pixels.
struct Monitor {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool primary = false;
};

// RandR's monitors in the server's order with the primary one moved to the front; the whole root
// screen when RandR offers none. One round trip: names are not fetched, as nothing needs them.
// Throws std::runtime_error when the connection is broken.
std::vector<Monitor> monitors(const Connection& connection);

} // namespace zel::x11
