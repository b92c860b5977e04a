#include "platform/x11/x11_connection.hpp"

#include <algorithm>
#include <stdexcept>
#include <xcb/randr.h>

namespace zel::x11 {

std::shared_ptr<Connection> Connection::open(const char* displayName) {
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(displayName, &screenNumber);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        const char* name = displayName != nullptr ? displayName : std::getenv("DISPLAY");
        throw std::runtime_error(std::string("Cannot connect to the X server") +
                                 (name != nullptr ? std::string(" \"") + name + "\"" : "") + ".");
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && it.rem > 0; ++i) {
        xcb_screen_next(&it);
    }
    if (it.rem == 0) {
        xcb_disconnect(connection);
        throw std::runtime_error("The X server has no screen " + std::to_string(screenNumber) +
                                 ".");
    }
    return std::shared_ptr<Connection>(new Connection(connection, it.data));
}

Connection::~Connection() {
    xcb_disconnect(connection_);
}

std::shared_ptr<Connection> ConnectionCache::get() {
    const std::lock_guard lock(mutex_);
    if (!connection_ || connection_->broken()) {
        connection_ = Connection::open();
    }
    return connection_;
}

std::vector<Monitor> monitors(const Connection& connection) {
    if (connection.broken()) {
        throw std::runtime_error("The connection to the X server was lost.");
    }
    xcb_connection_t* c = connection.get();
    std::vector<Monitor> result;
    const Reply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, connection.root(), 1), nullptr));
    if (reply) {
        for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
             xcb_randr_monitor_info_next(&it)) {
            const xcb_randr_monitor_info_t& info = *it.data;
            result.push_back({info.x, info.y, info.width, info.height, info.primary != 0});
        }
    }
    if (result.empty()) {
        if (connection.broken()) {
            throw std::runtime_error("The connection to the X server was lost.");
        }
        const xcb_screen_t& screen = connection.screen();
        result.push_back({0, 0, screen.width_in_pixels, screen.height_in_pixels, true});
    }
    std::stable_partition(result.begin(), result.end(), [](const Monitor& m) { return m.primary; });
    return result;
}

} // namespace zel::x11
