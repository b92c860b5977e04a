// XTest event posting, the primary monitor's bounds and the trust check for InputActions;
// text typed through the keymap, with spare keys lent to characters it lacks.
#include "platform/x11/x11_input.hpp"

#include "input/key_symbols.hpp"
#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_handles.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <vector>
#include <xcb/xtest.h>

namespace zel::x11 {
namespace {

constexpr std::uint8_t kLeftButton = 1;
constexpr std::uint8_t kMiddleButton = 2;
// X numbers the right button 3 (2 is the middle one).
constexpr std::uint8_t kRightButton = 3;
// One wheel notch per scroll step: toolkits scroll three lines a notch, the step's line delta.
constexpr std::uint8_t kWheelUpButton = 4;
constexpr std::uint8_t kWheelDownButton = 5;
constexpr std::uint8_t kWheelLeftButton = 6;
constexpr std::uint8_t kWheelRightButton = 7;

constexpr xcb_keysym_t kControlL = keysymOf(Key::control);
constexpr xcb_keysym_t kShiftL = keysymOf(Key::shift);

// A lent key goes back once typing has paused this long; a lent key is lent again to another
// character no sooner than this after its last stroke. Clients read the keymap when they handle
// the change's MappingNotify, which may come well after the stroke was sent: give them time.
constexpr std::chrono::milliseconds kLoanIdle{1000};
constexpr std::chrono::milliseconds kLoanReuse{200};

// The core keymap's first group as typing needs it: where each keysym sits (unshifted first)
// and the keys that carry no keysym at all.
class Keymap {
public:
    struct Place {
        xcb_keycode_t code = 0;
        bool shifted = false;
    };

    Keymap(xcb_connection_t* connection, xcb_key_symbols_t* symbols) {
        const xcb_setup_t* setup = xcb_get_setup(connection);
        for (int shifted = 0; shifted < 2; ++shifted) {
            for (int code = setup->min_keycode; code <= setup->max_keycode; ++code) {
                const auto keycode = static_cast<xcb_keycode_t>(code);
                const xcb_keysym_t sym = xcb_key_symbols_get_keysym(symbols, keycode, shifted);
                if (sym != XCB_NO_SYMBOL) {
                    places_.try_emplace(sym, Place{keycode, shifted == 1});
                }
            }
        }
        // Columns past the keymap's width read as NoSymbol.
        constexpr int kColumns = 16;
        for (int code = setup->min_keycode; code <= setup->max_keycode; ++code) {
            const auto keycode = static_cast<xcb_keycode_t>(code);
            bool empty = true;
            for (int column = 0; column < kColumns && empty; ++column) {
                empty = xcb_key_symbols_get_keysym(symbols, keycode, column) == XCB_NO_SYMBOL;
            }
            if (empty) {
                spares_.push_back(keycode);
            }
        }
    }

    [[nodiscard]] std::optional<Place> find(xcb_keysym_t sym) const {
        const auto it = places_.find(sym);
        return it == places_.end() ? std::nullopt : std::optional(it->second);
    }
    [[nodiscard]] bool carries(xcb_keycode_t code, xcb_keysym_t sym) const {
        const auto place = find(sym);
        return place && place->code == code && !place->shifted;
    }
    // Keys with no keysym, the highest last.
    [[nodiscard]] const std::vector<xcb_keycode_t>& spares() const { return spares_; }

private:
    std::unordered_map<xcb_keysym_t, Place> places_;
    std::vector<xcb_keycode_t> spares_;
};

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
    X11InputBackend() : returner_([this](const std::stop_token& stop) { returnIdleLoans(stop); }) {}
    X11InputBackend(const X11InputBackend&) = delete;
    X11InputBackend& operator=(const X11InputBackend&) = delete;
    X11InputBackend(X11InputBackend&&) = delete;
    X11InputBackend& operator=(X11InputBackend&&) = delete;
    ~X11InputBackend() override {
        returner_.request_stop();
        returner_.join();
        const std::lock_guard lock(loansMutex_);
        returnLoans();
    }

    [[nodiscard]] std::string notTrustedMessage() const override {
        return std::string(kNoXtestMessage);
    }

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
        const std::uint8_t number = button == MouseButton::left    ? kLeftButton
                                    : button == MouseButton::right ? kRightButton
                                                                   : kMiddleButton;
        // XTest presses where the pointer is, so every event at a point starts with a motion
        // there; a "dragged" event is that motion with the button still held.
        xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, connection->root(),
                            pixel(point.x), pixel(point.y), 0);
        switch (type) {
        case MouseEventType::leftDown:
        case MouseEventType::rightDown:
        case MouseEventType::middleDown:
            xcb_test_fake_input(c, XCB_BUTTON_PRESS, number, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
            break;
        case MouseEventType::leftUp:
        case MouseEventType::rightUp:
        case MouseEventType::middleUp:
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

    void postHorizontalScroll(int columnDelta) override {
        const auto connection = usableConnection();
        if (!connection || columnDelta == 0) {
            return;
        }
        xcb_connection_t* c = connection->get();
        const std::uint8_t wheel = columnDelta > 0 ? kWheelRightButton : kWheelLeftButton;
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

    std::size_t typeText(std::u32string_view text, std::chrono::microseconds pause) override {
        const auto connection = usableConnection();
        if (!connection) {
            return 0;
        }
        const KeySymbolsPtr symbols(xcb_key_symbols_alloc(connection->get()));
        if (!symbols || !connection->sync(kReplyLimit)) {
            return 0;
        }
        const Keymap keymap(connection->get(), symbols.get());
        const std::lock_guard lock(loansMutex_);
        if (loansConnection_ != connection) {
            loans_.clear(); // lent on a server that has gone since
            loansConnection_ = connection;
        }
        // A key someone else has remapped since is no longer ours to give back.
        std::erase_if(loans_,
                      [&](const Loan& loan) { return !keymap.carries(loan.code, loan.sym); });
        std::vector<xcb_keycode_t> spares;
        std::copy_if(keymap.spares().begin(), keymap.spares().end(), std::back_inserter(spares),
                     [&](xcb_keycode_t code) { return !lent(code); });
        const auto shift = keymap.find(kShiftL);

        xcb_connection_t* c = connection->get();
        bool first = true;
        const auto fake = [&](std::uint8_t type, xcb_keycode_t code) {
            if (!first) {
                xcb_flush(c);
                this->pause(pause);
            }
            first = false;
            xcb_test_fake_input(c, type, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        };
        std::size_t struck = 0;
        for (const char32_t character : text) {
            const xcb_keysym_t sym = keysymOf(character);
            const Loan* loan = loanOf(sym);
            auto place = loan != nullptr ? Keymap::Place{loan->code, false} : keymap.find(sym);
            // A lent key the keymap read shows may have been lent again since.
            if (place && loan == nullptr && lent(place->code)) {
                place.reset();
            }
            if (place && place->shifted && !(shift && !shift->shifted)) {
                place.reset(); // no Shift key to reach it with
            }
            if (!place) {
                const auto code = lend(c, sym, spares);
                if (!code) {
                    continue;
                }
                place = Keymap::Place{*code, false};
            }
            if (place->shifted) {
                fake(XCB_KEY_PRESS, shift->code);
            }
            fake(XCB_KEY_PRESS, place->code);
            fake(XCB_KEY_RELEASE, place->code);
            if (place->shifted) {
                fake(XCB_KEY_RELEASE, shift->code);
            }
            if (Loan* loan = loanOf(sym)) {
                loan->lastStruck = std::chrono::steady_clock::now();
            }
            ++struck;
        }
        xcb_flush(c);
        loansChanged_.notify_all();
        return struck;
    }

private:
    struct Loan {
        xcb_keycode_t code = 0;
        xcb_keysym_t sym = 0;
        std::chrono::steady_clock::time_point lastStruck;
    };

    Loan* loanOf(xcb_keysym_t sym) {
        const auto it = std::find_if(loans_.begin(), loans_.end(),
                                     [&](const Loan& loan) { return loan.sym == sym; });
        return it == loans_.end() ? nullptr : &*it;
    }

    [[nodiscard]] bool lent(xcb_keycode_t code) const {
        return std::any_of(loans_.begin(), loans_.end(),
                           [&](const Loan& loan) { return loan.code == code; });
    }

    // Lends a spare key to the keysym: a free one, else the one struck longest ago once clients
    // have had time to read it. Nothing when the keymap has no spare key.
    std::optional<xcb_keycode_t> lend(xcb_connection_t* c, xcb_keysym_t sym,
                                      std::vector<xcb_keycode_t>& spares) {
        Loan loan{0, sym, std::chrono::steady_clock::now()};
        if (!spares.empty()) {
            loan.code = spares.back();
            spares.pop_back();
            loans_.push_back(loan);
        } else if (!loans_.empty()) {
            Loan& oldest =
                *std::min_element(loans_.begin(), loans_.end(), [](const Loan& a, const Loan& b) {
                    return a.lastStruck < b.lastStruck;
                });
            const auto since = std::chrono::steady_clock::now() - oldest.lastStruck;
            if (since < kLoanReuse) {
                pause(std::chrono::duration_cast<std::chrono::microseconds>(kLoanReuse - since));
            }
            oldest.sym = sym;
            loan.code = oldest.code;
        } else {
            return std::nullopt;
        }
        // Both columns, so that a held Shift makes no difference.
        const std::array<xcb_keysym_t, 2> syms{sym, sym};
        xcb_change_keyboard_mapping(c, 1, loan.code, syms.size(), syms.data());
        return loan.code;
    }

    // Gives every lent key back its empty mapping. Called with loansMutex_ held.
    void returnLoans() {
        if (loansConnection_ && !loansConnection_->broken()) {
            xcb_connection_t* c = loansConnection_->get();
            const std::array<xcb_keysym_t, 2> none{XCB_NO_SYMBOL, XCB_NO_SYMBOL};
            for (const Loan& loan : loans_) {
                xcb_change_keyboard_mapping(c, 1, loan.code, none.size(), none.data());
            }
            xcb_flush(c);
        }
        loans_.clear();
    }

    void returnIdleLoans(const std::stop_token& stop) {
        std::unique_lock lock(loansMutex_);
        while (!stop.stop_requested()) {
            if (loans_.empty()) {
                loansChanged_.wait(lock, stop, [&] { return !loans_.empty(); });
                continue;
            }
            const auto last =
                std::max_element(loans_.begin(), loans_.end(), [](const Loan& a, const Loan& b) {
                    return a.lastStruck < b.lastStruck;
                })->lastStruck;
            if (std::chrono::steady_clock::now() < last + kLoanIdle) {
                loansChanged_.wait_until(lock, stop, last + kLoanIdle, [] { return false; });
                continue;
            }
            // Not in the middle of another request's events: the event-sequence lock comes
            // first, as for requests, which take loansMutex_ inside it.
            lock.unlock();
            {
                const auto sequence = holdSequence();
                const std::lock_guard again(loansMutex_);
                const bool idle = std::all_of(loans_.begin(), loans_.end(), [](const Loan& loan) {
                    return std::chrono::steady_clock::now() >= loan.lastStruck + kLoanIdle;
                });
                if (idle) {
                    returnLoans();
                }
            }
            lock.lock();
        }
    }

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
        const KeySymbolsPtr symbols(xcb_key_symbols_alloc(connection.get()));
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
        const auto code = lookUp(keysymOf(key));
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
    std::mutex loansMutex_;
    std::condition_variable_any loansChanged_;
    std::vector<Loan> loans_;                     // guarded by loansMutex_
    std::shared_ptr<Connection> loansConnection_; // guarded by loansMutex_
    // Last, so that it stops before the members it uses go.
    std::jthread returner_;
};

} // namespace

std::unique_ptr<zel::InputBackend> makeInputBackend() {
    return std::make_unique<X11InputBackend>();
}

} // namespace zel::x11
