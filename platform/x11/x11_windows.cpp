#include "platform/x11/x11_windows.hpp"

#include "base/app_error.hpp"
#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_handles.hpp"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <thread>

namespace zel::x11 {
namespace {

constexpr xcb_window_t kNone = XCB_WINDOW_NONE;

// How long a focus request waits for the window manager to report the new active window.
constexpr auto kFocusWait = std::chrono::milliseconds(1000);
constexpr auto kFocusPoll = std::chrono::milliseconds(20);
// _NET_ACTIVE_WINDOW's source indication for a pager: the window manager obeys it without the
// focus-stealing checks it applies to applications.
constexpr std::uint32_t kSourcePager = 2;
// A property longer than this (in 32-bit units) is read only this far: titles, client lists.
constexpr std::uint32_t kPropertyLimit = 16384;

enum Atom : std::size_t {
    clientListStacking,
    clientList,
    activeWindow,
    wmName,
    utf8String,
    wmPid,
    frameExtents,
    wmState,
    wmStateHidden,
    atomCount
};
constexpr std::array<std::string_view, atomCount> kAtomNames = {"_NET_CLIENT_LIST_STACKING",
                                                                "_NET_CLIENT_LIST",
                                                                "_NET_ACTIVE_WINDOW",
                                                                "_NET_WM_NAME",
                                                                "UTF8_STRING",
                                                                "_NET_WM_PID",
                                                                "_NET_FRAME_EXTENTS",
                                                                "_NET_WM_STATE",
                                                                "_NET_WM_STATE_HIDDEN"};
using Atoms = std::array<xcb_atom_t, atomCount>;

std::string idText(xcb_window_t window) {
    std::array<char, 16> text{};
    const int length = std::snprintf(text.data(), text.size(), "0x%x", window);
    return {text.data(), static_cast<std::size_t>(length)};
}

// "0x…" as listWindows writes it; XCB_WINDOW_NONE for anything else.
xcb_window_t parseId(std::string_view id) {
    if (id.size() < 3 || id.substr(0, 2) != "0x") {
        return XCB_WINDOW_NONE;
    }
    xcb_window_t window = XCB_WINDOW_NONE;
    const auto [end, error] = std::from_chars(id.data() + 2, id.data() + id.size(), window, 16);
    return error == std::errc() && end == id.data() + id.size() ? window : kNone;
}

// One session of requests on a connection; the atoms interned per call, as a restarted server may
// number them differently.
class Query {
public:
    explicit Query(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {
        std::array<xcb_intern_atom_cookie_t, atomCount> cookies{};
        for (std::size_t i = 0; i < atomCount; ++i) {
            cookies[i] = xcb_intern_atom(c(), 0, static_cast<std::uint16_t>(kAtomNames[i].size()),
                                         kAtomNames[i].data());
        }
        for (std::size_t i = 0; i < atomCount; ++i) {
            const auto atom = answer<xcb_intern_atom_reply_t>(cookies[i].sequence);
            if (!atom) {
                throw AppError("The X server did not answer.");
            }
            atoms_[i] = atom->atom;
        }
    }

    [[nodiscard]] xcb_connection_t* c() const { return connection_->get(); }
    [[nodiscard]] xcb_window_t root() const { return connection_->root(); }
    [[nodiscard]] xcb_atom_t atom(Atom which) const { return atoms_[which]; }

    template <class T>
    Reply<T> answer(unsigned int sequence) {
        xcb_generic_error_t* error = nullptr;
        auto reply = connection_->reply<T>(sequence, &error, kReplyLimit);
        const ErrorReply owned(error);
        if (connection_->broken()) {
            throw AppError("The X server did not answer.");
        }
        return reply;
    }

    Reply<xcb_get_property_reply_t> property(xcb_window_t window, xcb_atom_t name,
                                             xcb_atom_t type) {
        return answer<xcb_get_property_reply_t>(
            xcb_get_property(c(), 0, window, name, type, 0, kPropertyLimit).sequence);
    }

    // The 32-bit values of a property; empty when it is missing or of another type.
    std::vector<std::uint32_t> cardinals(xcb_window_t window, xcb_atom_t name, xcb_atom_t type) {
        const auto reply = property(window, name, type);
        if (!reply || reply->format != 32 || reply->type != type) {
            return {};
        }
        const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
        return {values, values + reply->value_len};
    }

    // The property's bytes, or nothing when it is missing or of another type.
    std::optional<std::string> text(xcb_window_t window, xcb_atom_t name, xcb_atom_t type) {
        const auto reply = property(window, name, type);
        if (!reply || reply->format != 8 || reply->type != type) {
            return std::nullopt;
        }
        const auto* bytes = static_cast<const char*>(xcb_get_property_value(reply.get()));
        return std::string(bytes,
                           static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
    }

private:
    std::shared_ptr<Connection> connection_;
    Atoms atoms_{};
};

// A STRING property's ISO 8859-1 text as UTF-8.
std::optional<std::string> latin1(const std::optional<std::string>& text) {
    return text ? std::optional(latin1ToUTF8(*text)) : std::nullopt;
}

// The class part of WM_CLASS ("instance\0class\0"), else its instance.
std::string applicationOf(const std::string& wmClass) {
    const auto split = wmClass.find('\0');
    if (split == std::string::npos) {
        return wmClass;
    }
    std::string name = wmClass.substr(split + 1);
    if (const auto end = name.find('\0'); end != std::string::npos) {
        name.resize(end);
    }
    return name.empty() ? wmClass.substr(0, split) : name;
}

class X11DesktopWindows final : public DesktopWindows {
public:
    explicit X11DesktopWindows(pid_t ownPid) : ownPid_(ownPid) {}

    std::vector<DesktopWindow> list() override {
        Query query(connect());
        return describe(query, clients(query));
    }

    bool focus(const DesktopWindow& window) override {
        Query query(connect());
        const xcb_window_t target = parseId(window.id);
        const auto all = clients(query);
        if (target == XCB_WINDOW_NONE ||
            std::find(all.windows.begin(), all.windows.end(), target) == all.windows.end()) {
            throw AppError("No window " + window.id + " on the desktop.");
        }
        if (all.managed) {
            const auto active = activeOf(query, true);
            xcb_client_message_event_t message{};
            message.response_type = XCB_CLIENT_MESSAGE;
            message.format = 32;
            message.window = target;
            message.type = query.atom(activeWindow);
            message.data.data32[0] = kSourcePager;
            message.data.data32[1] = XCB_CURRENT_TIME;
            message.data.data32[2] = active;
            xcb_send_event(query.c(), 0, query.root(),
                           XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY |
                               XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                           reinterpret_cast<const char*>(&message));
        } else {
            // Nobody manages the windows: raise and focus it ourselves.
            const std::uint32_t above = XCB_STACK_MODE_ABOVE;
            xcb_configure_window(query.c(), target, XCB_CONFIG_WINDOW_STACK_MODE, &above);
            xcb_set_input_focus(query.c(), XCB_INPUT_FOCUS_POINTER_ROOT, target, XCB_CURRENT_TIME);
        }
        xcb_flush(query.c());
        const auto deadline = std::chrono::steady_clock::now() + kFocusWait;
        while (true) {
            if (activeOf(query, all.managed) == target) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(kFocusPoll);
        }
    }

private:
    struct Clients {
        std::vector<xcb_window_t> windows; // bottom to top
        bool managed = false;              // a window manager keeps the list
    };

    std::shared_ptr<Connection> connect() {
        try {
            return connections_.get();
        } catch (const std::exception& error) {
            throw AppError(std::string("Cannot reach the X server: ") + error.what());
        }
    }

    static Clients clients(Query& query) {
        for (const Atom name : {clientListStacking, clientList}) {
            const auto reply = query.property(query.root(), query.atom(name), XCB_ATOM_WINDOW);
            if (reply && reply->type == XCB_ATOM_WINDOW && reply->format == 32) {
                const auto* values =
                    static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
                return {{values, values + reply->value_len}, true};
            }
        }
        // No window manager: the mapped children of the root that are not menus or tooltips.
        Clients found;
        const auto tree =
            query.answer<xcb_query_tree_reply_t>(xcb_query_tree(query.c(), query.root()).sequence);
        if (!tree) {
            return found;
        }
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        const int count = xcb_query_tree_children_length(tree.get());
        for (int i = 0; i < count; ++i) {
            const auto attributes = query.answer<xcb_get_window_attributes_reply_t>(
                xcb_get_window_attributes(query.c(), children[i]).sequence);
            if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
                attributes->override_redirect == 0 &&
                attributes->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT) {
                found.windows.push_back(children[i]);
            }
        }
        return found;
    }

    static xcb_window_t activeOf(Query& query, bool managed) {
        if (managed) {
            const auto active =
                query.cardinals(query.root(), query.atom(activeWindow), XCB_ATOM_WINDOW);
            return active.empty() ? kNone : active.front();
        }
        const auto focus =
            query.answer<xcb_get_input_focus_reply_t>(xcb_get_input_focus(query.c()).sequence);
        return focus ? focus->focus : kNone;
    }

    std::vector<DesktopWindow> describe(Query& query, const Clients& all) {
        const xcb_window_t active = activeOf(query, all.managed);
        std::vector<DesktopWindow> windows;
        windows.reserve(all.windows.size());
        const std::vector<xcb_window_t> topFirst(all.windows.rbegin(), all.windows.rend());
        for (const xcb_window_t window : topFirst) {
            DesktopWindow entry;
            entry.id = idText(window);
            auto title = query.text(window, query.atom(wmName), query.atom(utf8String));
            if (!title) {
                title = latin1(query.text(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING));
            }
            entry.title = title.value_or("");
            entry.application = applicationOf(
                latin1(query.text(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING)).value_or(""));
            const auto pid = query.cardinals(window, query.atom(wmPid), XCB_ATOM_CARDINAL);
            entry.pid = pid.empty() ? 0 : pid.front();
            entry.own = entry.pid == ownPid_;
            entry.focused = window == active;
            for (const std::uint32_t state :
                 query.cardinals(window, query.atom(wmState), XCB_ATOM_ATOM)) {
                entry.minimized = entry.minimized || state == query.atom(wmStateHidden);
            }
            entry.bounds = boundsOf(query, window);
            windows.push_back(std::move(entry));
        }
        return windows;
    }

    // The client's rectangle moved into root coordinates and grown by the frame the window
    // manager reports.
    static std::optional<DisplayBounds> boundsOf(Query& query, xcb_window_t window) {
        const auto geometry =
            query.answer<xcb_get_geometry_reply_t>(xcb_get_geometry(query.c(), window).sequence);
        const auto origin = query.answer<xcb_translate_coordinates_reply_t>(
            xcb_translate_coordinates(query.c(), window, query.root(), 0, 0).sequence);
        if (!geometry || !origin) {
            return std::nullopt;
        }
        DisplayBounds bounds{static_cast<double>(origin->dst_x), static_cast<double>(origin->dst_y),
                             static_cast<double>(geometry->width),
                             static_cast<double>(geometry->height)};
        const auto frame =
            query.cardinals(window, query.atom(frameExtents), XCB_ATOM_CARDINAL); // l, r, t, b
        if (frame.size() == 4) {
            bounds.x -= frame[0];
            bounds.y -= frame[2];
            bounds.width += frame[0] + frame[1];
            bounds.height += frame[2] + frame[3];
        }
        return bounds;
    }

    pid_t ownPid_;
    ConnectionCache connections_;
};

} // namespace

std::shared_ptr<DesktopWindows> makeDesktopWindows(pid_t ownPid) {
    return std::make_shared<X11DesktopWindows>(ownPid);
}

} // namespace zel::x11
