// XTest event posting, the primary monitor's bounds and the trust check for MainProcessInput.
#include "platform/x11/x11_input.hpp"

#include "base/c_handle.hpp"
#include "platform/x11/x11_connection.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

namespace zel::x11 {
namespace {

constexpr std::uint8_t kLeftButton = 1;
// X numbers the right button 3 (2 is the middle one).
constexpr std::uint8_t kRightButton = 3;
// One wheel notch per scroll step: toolkits scroll three lines a notch, the step's line delta.
constexpr std::uint8_t kWheelUpButton = 4;
constexpr std::uint8_t kWheelDownButton = 5;

constexpr xcb_keysym_t kControlL = 0xffe3;

// Return is the main key, never KP_Enter; "delete" deletes backwards, which X calls BackSpace.
xcb_keysym_t keysym(Key key) {
    switch (key) {
    case Key::returnKey:
        return 0xff0d;
    case Key::tab:
        return 0xff09;
    case Key::space:
        return 0x0020;
    case Key::deleteBackward:
        return 0xff08;
    case Key::escape:
        return 0xff1b;
    case Key::left:
        return 0xff51;
    case Key::up:
        return 0xff52;
    case Key::right:
        return 0xff53;
    case Key::down:
        return 0xff54;
    case Key::v:
        return 0x0076;
    }
    return 0;
}

// The key's keycode and, for the shortcut modifier, Control_L's; nothing when the server's
// keymap lacks either.
struct KeyCodes {
    xcb_keycode_t key = 0;
    std::optional<xcb_keycode_t> control;
};

// XTest posts at whole pixels: round half away from zero, then keep within X's 16-bit range.
std::int16_t pixel(double coordinate) {
    if (std::isnan(coordinate)) {
        return 0;
    }
    return static_cast<std::int16_t>(std::clamp(std::round(coordinate), -32768.0, 32767.0));
}

class X11InputBackend final : public InputBackend {
public:
    bool trusted() override {
        // Reachable and offering XTEST, asked once per connection; a second try covers a server
        // that restarted since the kept connection was opened (the cache then opens a fresh one).
        for (int attempt = 0; attempt < 2; ++attempt) {
            std::shared_ptr<Connection> connection;
            try {
                connection = connections_.get();
            } catch (const std::exception&) {
                return false;
            }
            if (connection->has(xcb_test_id)) {
                return true;
            }
            if (!connection->broken() || connection->timedOut()) {
                return false;
            }
        }
        return false;
    }

    DisplayBounds mainDisplayBounds() override {
        std::shared_ptr<Connection> connection = connections_.get();
        Monitor main;
        try {
            // The primary monitor, else the first, else the root screen.
            main = monitors(*connection).front();
        } catch (const std::runtime_error&) {
            // The server restarted since the kept connection was opened: try a fresh one once.
            // A frozen one is not asked twice.
            if (connection->timedOut()) {
                throw;
            }
            main = monitors(*connections_.get()).front();
        }
        return {static_cast<double>(main.x), static_cast<double>(main.y),
                static_cast<double>(main.width), static_cast<double>(main.height)};
    }

    void postMouse(MouseEventType type, ScreenPoint point, MouseButton button) override {
        const auto connection = usableConnection();
        if (!connection) {
            return;
        }
        xcb_connection_t* c = connection->get();
        const std::uint8_t number = button == MouseButton::left ? kLeftButton : kRightButton;
        // XTest presses where the pointer is, so every event at a point starts with a motion
        // there; a "dragged" event is that motion with the button still held.
        xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, connection->root(),
                            pixel(point.x), pixel(point.y), 0);
        switch (type) {
        case MouseEventType::leftDown:
        case MouseEventType::rightDown:
            xcb_test_fake_input(c, XCB_BUTTON_PRESS, number, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
            break;
        case MouseEventType::leftUp:
        case MouseEventType::rightUp:
            xcb_test_fake_input(c, XCB_BUTTON_RELEASE, number, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
            break;
        case MouseEventType::moved:
        case MouseEventType::leftDragged:
        case MouseEventType::rightDragged:
            break;
        }
        xcb_flush(c);
    }

    void postScroll(int lineDelta) override {
        const auto connection = usableConnection();
        if (!connection || lineDelta == 0) {
            return;
        }
        xcb_connection_t* c = connection->get();
        const std::uint8_t wheel = lineDelta > 0 ? kWheelUpButton : kWheelDownButton;
        xcb_test_fake_input(c, XCB_BUTTON_PRESS, wheel, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(c, XCB_BUTTON_RELEASE, wheel, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(c);
    }

    bool canPostKey(Key key, KeyModifiers modifiers) override {
        const auto connection = usableConnection();
        return connection && keyCodes(*connection, key, modifiers).has_value();
    }

    void postKey(Key key, bool down, KeyModifiers modifiers) override {
        const auto connection = usableConnection();
        if (!connection) {
            return;
        }
        const auto codes = keyCodes(*connection, key, modifiers);
        if (!codes) {
            return;
        }
        xcb_connection_t* c = connection->get();
        const auto fake = [c](std::uint8_t type, xcb_keycode_t code) {
            xcb_test_fake_input(c, type, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        };
        // The modifier wraps the key: Control goes down before it and up after it.
        if (down) {
            if (codes->control) {
                fake(XCB_KEY_PRESS, *codes->control);
            }
            fake(XCB_KEY_PRESS, codes->key);
        } else {
            fake(XCB_KEY_RELEASE, codes->key);
            if (codes->control) {
                fake(XCB_KEY_RELEASE, *codes->control);
            }
        }
        xcb_flush(c);
    }

private:
    // The kept connection, or nothing when the server cannot be reached or lacks XTEST: events
    // are then left out like events the platform cannot create.
    std::shared_ptr<Connection> usableConnection() {
        std::shared_ptr<Connection> connection;
        try {
            connection = connections_.get();
        } catch (const std::exception&) {
            return nullptr;
        }
        if (!connection->has(xcb_test_id)) {
            return nullptr;
        }
        // Nobody reads this connection's events, yet the server sends some unasked (MappingNotify,
        // errors of unchecked requests); drop them so they do not pile up.
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection->get())) {
            const Reply<xcb_generic_event_t> discard(event);
        }
        return connection;
    }

    // Keys go by keysym through the server's current keymap, read afresh for every stroke so a
    // layout change applies at once.
    static std::optional<KeyCodes> keyCodes(Connection& connection, Key key,
                                            KeyModifiers modifiers) {
        // The keymap request goes out here; once the round trip is over, the look-ups find its
        // reply queued instead of waiting for a frozen server.
        const CHandle<xcb_key_symbols_t, xcb_key_symbols_free> symbols(
            xcb_key_symbols_alloc(connection.get()));
        if (!symbols || !connection.sync(kReplyLimit)) {
            return std::nullopt;
        }
        const auto lookUp = [&](xcb_keysym_t sym) -> std::optional<xcb_keycode_t> {
            const Reply<xcb_keycode_t> codes(xcb_key_symbols_get_keycode(symbols.get(), sym));
            if (!codes || codes.get()[0] == XCB_NO_SYMBOL) {
                return std::nullopt;
            }
            return codes.get()[0];
        };
        KeyCodes result;
        const auto code = lookUp(keysym(key));
        if (!code) {
            return std::nullopt;
        }
        result.key = *code;
        if (modifiers == KeyModifiers::command) {
            result.control = lookUp(kControlL);
            if (!result.control) {
                return std::nullopt;
            }
        }
        return result;
    }

    ConnectionCache connections_;
};

} // namespace

std::unique_ptr<zel::InputBackend> makeInputBackend() {
    return std::make_unique<X11InputBackend>();
}

} // namespace zel::x11
