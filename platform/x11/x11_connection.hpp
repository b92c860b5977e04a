// The X11 connection shared by the backends, RAII for xcb replies, and the monitor list.
#pragma once

#include "platform/x11/x11_handles.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>
#include <xcb/xcb.h>

namespace zel::x11 {

// How long a small round trip (or a connect) may take before the server counts as frozen.
inline constexpr std::chrono::milliseconds kReplyLimit{3000};

// One xcb connection; xcb is thread-safe, so a connection may serve several threads at once as
// long as it holds no per-request state.
class Connection {
public:
    // Opens the display named by $DISPLAY (or the given name); throws std::runtime_error with a
    // readable text when the X server cannot be reached, or (on a local display) does not
    // answer the set-up within the limit.
    static std::shared_ptr<Connection> open(const char* displayName = nullptr,
                                            std::chrono::nanoseconds limit = kReplyLimit);

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() = default;

    [[nodiscard]] xcb_connection_t* get() const { return connection_.get(); }
    [[nodiscard]] const xcb_screen_t& screen() const { return *screen_; }
    [[nodiscard]] xcb_window_t root() const { return screen_->root; }
    // True once the server has gone, the connection failed or a deadline passed; it never
    // recovers.
    [[nodiscard]] bool broken() const;
    // True once a deadline passed: the server is frozen rather than gone.
    [[nodiscard]] bool timedOut() const;
    // Throws the reason the connection is broken (or the server's refusal of `what` when not).
    [[noreturn]] void throwFailure(const char* what, const xcb_generic_error_t* error) const;

    // Whether the server offers the extension. Asked once per connection: a request of a missing
    // extension would shut the connection, and libxcb's first look-up must not race.
    bool has(xcb_extension_t& extension);

    // The reply of a request (as xcb_wait_for_reply gives it, the error into *error) waited for
    // no longer than the limit. A server that has not answered by then counts as frozen: the
    // connection's socket is shut for reading, which ends every other wait on it, and the
    // connection stays broken. Nothing is returned then, nor when the connection broke.
    template <class T>
    Reply<T> reply(unsigned int sequence, xcb_generic_error_t** error,
                   std::chrono::steady_clock::time_point deadline) {
        return Reply<T>(static_cast<T*>(waitForReply(sequence, error, deadline)));
    }
    template <class T>
    Reply<T> reply(unsigned int sequence, xcb_generic_error_t** error,
                   std::chrono::nanoseconds limit) {
        return reply<T>(sequence, error, deadlineIn(limit));
    }
    static std::chrono::steady_clock::time_point deadlineIn(std::chrono::nanoseconds limit) {
        return std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit);
    }
    // Waits (as reply does) for a round trip, after which the replies of every earlier request
    // are in xcb's queue, so that xcb's blocking reply calls for them return at once. False when
    // the server did not answer in time or the connection broke.
    bool sync(std::chrono::nanoseconds limit);

private:
    Connection(ConnectionPtr connection, xcb_screen_t* screen)
        : connection_(std::move(connection)), screen_(screen) {}
    void* waitForReply(unsigned int sequence, xcb_generic_error_t** error,
                       std::chrono::steady_clock::time_point deadline);

    ConnectionPtr connection_;
    xcb_screen_t* screen_;
    std::atomic<bool> timedOut_ = false;
    std::mutex extensionsMutex_;
    std::map<const xcb_extension_t*, bool> extensions_; // guarded by extensionsMutex_
};

// Keeps one connection and opens a fresh one when the kept one broke (the X server restarted or
// froze). A connect runs on a thread of its own, so that a frozen server keeps a caller no longer
// than the limit; callers meanwhile share that one attempt, and once it is older than the limit
// they wait for it only a moment.
class ConnectionCache {
public:
    explicit ConnectionCache(std::chrono::nanoseconds connectLimit = kReplyLimit);
    // Throws like Connection::open when no connection can be made, or when none is made in time.
    std::shared_ptr<Connection> get();

private:
    struct State;
    std::chrono::nanoseconds connectLimit_;
    std::shared_ptr<State> state_;
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
// screen when the server lacks RandR or it offers none. One round trip: names are not fetched, as
// nothing needs them. Throws std::runtime_error when the connection is broken.
std::vector<Monitor> monitors(Connection& connection);

} // namespace zel::x11
