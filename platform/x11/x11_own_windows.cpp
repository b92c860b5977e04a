#include "platform/x11/x11_own_windows.hpp"

#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_handles.hpp"

#include <cmath>
#include <cstring>

namespace zel::x11 {
namespace {

// A reply, or nothing; the error, if any, released here.
template <class T>
Reply<T> answer(Connection& connection, unsigned int sequence) {
    xcb_generic_error_t* error = nullptr;
    auto reply = connection.reply<T>(sequence, &error, kReplyLimit);
    const ErrorReply owned(error);
    return reply;
}

class X11OwnWindows final : public OwnWindows {
public:
    explicit X11OwnWindows(pid_t pid) : pid_(pid) {}

    bool covers(ScreenPoint point) override {
        std::shared_ptr<Connection> connection;
        try {
            connection = connections_.get();
        } catch (const std::exception&) {
            return false;
        }
        xcb_connection_t* c = connection->get();
        const auto x = static_cast<std::int16_t>(std::floor(point.x));
        const auto y = static_cast<std::int16_t>(std::floor(point.y));
        // The root's child that is on top at the point, as the server stacks them.
        const auto at = answer<xcb_translate_coordinates_reply_t>(
            *connection,
            xcb_translate_coordinates(c, connection->root(), connection->root(), x, y).sequence);
        if (!at || at->child == XCB_WINDOW_NONE) {
            return false;
        }
        // Without a window manager that is the client itself; with one, its frame, whose
        // client sits one or two levels down.
        return ours(*connection, at->child, 2);
    }

    // The server's input focus, not the toolkit's: Qt keeps a window active for a while after
    // the focus left it, and a key refused then would be a key lost.
    bool focused() override {
        std::shared_ptr<Connection> connection;
        try {
            connection = connections_.get();
        } catch (const std::exception&) {
            return false;
        }
        const auto focus = answer<xcb_get_input_focus_reply_t>(
            *connection, xcb_get_input_focus(connection->get()).sequence);
        if (!focus || focus->focus == XCB_NONE || focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT) {
            return false;
        }
        // The focus is on the client or, with some window managers, its frame: walk up.
        xcb_window_t window = focus->focus;
        for (int depth = 0; depth < 4 && window != connection->root(); ++depth) {
            if (pidOf(*connection, window) == pid_) {
                return true;
            }
            const auto tree = answer<xcb_query_tree_reply_t>(
                *connection, xcb_query_tree(connection->get(), window).sequence);
            if (!tree) {
                return false;
            }
            window = tree->parent;
        }
        return false;
    }

private:
    bool ours(Connection& connection, xcb_window_t window, int depth) {
        if (pidOf(connection, window) == pid_) {
            return true;
        }
        if (depth == 0) {
            return false;
        }
        const auto tree = answer<xcb_query_tree_reply_t>(
            connection, xcb_query_tree(connection.get(), window).sequence);
        if (!tree) {
            return false;
        }
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        const int count = xcb_query_tree_children_length(tree.get());
        for (int i = 0; i < count; ++i) {
            if (ours(connection, children[i], depth - 1)) {
                return true;
            }
        }
        return false;
    }

    pid_t pidOf(Connection& connection, xcb_window_t window) {
        // Interned each time: a restarted server may number it differently.
        static constexpr char kName[] = "_NET_WM_PID";
        const auto atom = answer<xcb_intern_atom_reply_t>(
            connection, xcb_intern_atom(connection.get(), 0, sizeof kName - 1, kName).sequence);
        if (!atom) {
            return -1;
        }
        const auto property = answer<xcb_get_property_reply_t>(
            connection,
            xcb_get_property(connection.get(), 0, window, atom->atom, XCB_ATOM_CARDINAL, 0, 1)
                .sequence);
        if (!property || xcb_get_property_value_length(property.get()) != 4) {
            return -1;
        }
        std::uint32_t value = 0;
        std::memcpy(&value, xcb_get_property_value(property.get()), 4);
        return static_cast<pid_t>(value);
    }

    pid_t pid_;
    ConnectionCache connections_;
};

} // namespace

std::shared_ptr<OwnWindows> makeOwnWindows(pid_t pid) {
    return std::make_shared<X11OwnWindows>(pid);
}

} // namespace zel::x11
