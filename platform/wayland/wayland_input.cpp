// Virtual pointer and keyboard events for InputActions on a wlroots compositor.
#include "platform/wayland/wayland_input.hpp"

#include "base/c_handle.hpp"
#include "input/key_symbols.hpp"
#include "platform/wayland/wayland_connection.hpp"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <stdexcept>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <xkbcommon/xkbcommon.h>

namespace zel::wayland {
namespace {

// Linux input event codes (linux/input-event-codes.h).
constexpr std::uint32_t kButtonLeft = 0x110;
constexpr std::uint32_t kButtonRight = 0x111;
constexpr std::uint32_t kButtonMiddle = 0x112;
// One wheel notch as libinput reports it: 15 units, one discrete step.
constexpr double kWheelNotch = 15.0;
// The pause after the devices appear (see connect()).
constexpr std::chrono::milliseconds kWarmUp{100};
// xkb keycodes are evdev codes plus 8.
constexpr xkb_keycode_t kEvdevOffset = 8;

// The keymap our keyboard uploads: a plain US layout compiled by xkbcommon, with the evdev codes
// of the keysyms we strike and the masks of the modifier keys.
struct Keymap {
    std::string text;
    std::map<xkb_keysym_t, std::uint32_t> codes;
    std::uint32_t controlMask = 0;
    std::map<xkb_keysym_t, std::uint32_t> modifierMasks; // Control_L, Alt_L, Super_L, Shift_L
    std::map<xkb_keysym_t, std::uint32_t> shiftedCodes;  // keysyms at the shift level
    // Keys the layout leaves empty (name, evdev code): typed text borrows them for characters
    // the layout lacks, the way a phone's Chinese needs.
    std::vector<std::pair<std::string, std::uint32_t>> spareKeys;
};

// The keymap text with the keysyms bound to spare keys at their base level; empty when the text
// has no symbols section to add them to.
std::string withBorrowedKeys(const Keymap& keymap, const std::vector<xkb_keysym_t>& syms) {
    // The symbols section is the last one: its closing "};" comes right before the keymap's own.
    const std::size_t keymapEnd = keymap.text.rfind("};");
    const std::size_t symbolsEnd = keymapEnd == std::string::npos || keymapEnd == 0
                                       ? std::string::npos
                                       : keymap.text.rfind("};", keymapEnd - 1);
    if (symbolsEnd == std::string::npos || syms.size() > keymap.spareKeys.size()) {
        return {};
    }
    std::string lines;
    for (std::size_t i = 0; i < syms.size(); ++i) {
        std::array<char, 64> name{};
        if (xkb_keysym_get_name(syms[i], name.data(), name.size()) <= 0) {
            return {};
        }
        lines += "key <" + keymap.spareKeys[i].first + "> { [ " + name.data() + " ] };\n";
    }
    return keymap.text.substr(0, symbolsEnd) + lines + keymap.text.substr(symbolsEnd);
}

std::optional<Keymap> compileKeymap() {
    const XkbContextPtr context(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
    if (!context) {
        return std::nullopt;
    }
    const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
    const XkbKeymapPtr keymap(
        xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap) {
        return std::nullopt;
    }
    const CMemory<char> text(xkb_keymap_get_as_string(keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1));
    const xkb_mod_index_t control = xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_CTRL);
    if (!text || control == XKB_MOD_INVALID) {
        return std::nullopt;
    }
    Keymap result{text.get(), {}, 1U << control, {}, {}, {}};
    for (const auto& [sym, name] : {std::pair{XKB_KEY_Control_L, XKB_MOD_NAME_CTRL},
                                    {XKB_KEY_Alt_L, XKB_MOD_NAME_ALT},
                                    {XKB_KEY_Super_L, XKB_MOD_NAME_LOGO},
                                    {XKB_KEY_Shift_L, XKB_MOD_NAME_SHIFT}}) {
        const xkb_mod_index_t index = xkb_keymap_mod_get_index(keymap.get(), name);
        if (index != XKB_MOD_INVALID) {
            result.modifierMasks.emplace(sym, 1U << index);
        }
    }
    for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap.get());
         code <= xkb_keymap_max_keycode(keymap.get()) && code >= kEvdevOffset; ++code) {
        const xkb_keysym_t* syms = nullptr;
        const int count = xkb_keymap_key_get_syms_by_level(keymap.get(), code, 0, 0, &syms);
        const char* name = xkb_keymap_key_get_name(keymap.get(), code);
        if (count == 0 && xkb_keymap_num_layouts_for_key(keymap.get(), code) == 0 &&
            name != nullptr) {
            result.spareKeys.emplace_back(name, code - kEvdevOffset);
        }
        // The first key with the symbol at its base level: Return before KP_Enter's row.
        if (count == 1) {
            result.codes.try_emplace(syms[0], code - kEvdevOffset);
        }
        if (xkb_keymap_key_get_syms_by_level(keymap.get(), code, 0, 1, &syms) == 1) {
            result.shiftedCodes.try_emplace(syms[0], code - kEvdevOffset);
        }
    }
    return result;
}

std::uint32_t milliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

class WaylandInputBackend final : public InputBackend {
public:
    explicit WaylandInputBackend(std::string socket)
        : socket_(std::move(socket)), keymap_(compileKeymap()) {}

    ~WaylandInputBackend() override {
        const std::lock_guard guard(mutex_);
        dropDevices();
    }

    [[nodiscard]] std::string notTrustedMessage() const override {
        return std::string(kNoVirtualInputMessage);
    }

    bool trusted() override {
        const std::lock_guard guard(mutex_);
        return connect();
    }

    DisplayBounds mainDisplayBounds() override {
        const std::lock_guard guard(mutex_);
        if (!connect() && !connection_) {
            // Unreachable: the connection's own text.
            connection_ = std::make_shared<Connection>(socket_);
        }
        // Output changes since the last request arrive with the round trip.
        connection_->roundtrip();
        if (connection_->outputs().empty()) {
            throw std::runtime_error("The Wayland compositor has no output.");
        }
        const Rect main = Connection::rect(*connection_->outputs().front());
        return {static_cast<double>(main.x), static_cast<double>(main.y),
                static_cast<double>(main.width), static_cast<double>(main.height)};
    }

    void postMouse(MouseEventType type, ScreenPoint point, MouseButton button) override {
        const std::lock_guard guard(mutex_);
        if (!connect()) {
            return;
        }
        // Absolute motion spans the layout's bounding box, as wlroots maps a pointer that is
        // tied to no output; every event at a point starts with a motion there.
        const Rect box = layoutBox();
        if (box.width < 1 || box.height < 1) {
            return;
        }
        const auto along = [](double coordinate, int origin, int extent) {
            const double at = std::isnan(coordinate) ? 0 : std::round(coordinate) - origin;
            return static_cast<std::uint32_t>(std::clamp(at, 0.0, extent - 1.0));
        };
        const std::uint32_t time = milliseconds();
        zwlr_virtual_pointer_v1_motion_absolute(
            pointer_.get(), time, along(point.x, box.x, box.width),
            along(point.y, box.y, box.height), static_cast<std::uint32_t>(box.width),
            static_cast<std::uint32_t>(box.height));
        const std::uint32_t code = button == MouseButton::left    ? kButtonLeft
                                   : button == MouseButton::right ? kButtonRight
                                                                  : kButtonMiddle;
        switch (type) {
        case MouseEventType::leftDown:
        case MouseEventType::rightDown:
        case MouseEventType::middleDown:
            zwlr_virtual_pointer_v1_button(pointer_.get(), time, code,
                                           WL_POINTER_BUTTON_STATE_PRESSED);
            break;
        case MouseEventType::leftUp:
        case MouseEventType::rightUp:
        case MouseEventType::middleUp:
            zwlr_virtual_pointer_v1_button(pointer_.get(), time, code,
                                           WL_POINTER_BUTTON_STATE_RELEASED);
            break;
        case MouseEventType::moved:
        case MouseEventType::leftDragged:
        case MouseEventType::rightDragged:
            break;
        }
        zwlr_virtual_pointer_v1_frame(pointer_.get());
        send();
    }

    void postScroll(int lineDelta) override {
        // One wheel notch per step, as on X11; Wayland's axis grows downwards.
        postWheel(WL_POINTER_AXIS_VERTICAL_SCROLL, lineDelta == 0 ? 0 : lineDelta > 0 ? -1 : 1);
    }

    void postHorizontalScroll(int columnDelta) override {
        postWheel(WL_POINTER_AXIS_HORIZONTAL_SCROLL, columnDelta == 0  ? 0
                                                     : columnDelta > 0 ? 1
                                                                       : -1);
    }

    bool canPostKey(Key key, KeyModifiers modifiers) override {
        const std::lock_guard guard(mutex_);
        return connect() && keyboard_ != nullptr && code(keysymOf(key)) &&
               (modifiers == KeyModifiers::none || code(XKB_KEY_Control_L));
    }

    void postKey(Key key, bool down, KeyModifiers modifiers) override {
        const std::lock_guard guard(mutex_);
        if (!connect() || keyboard_ == nullptr) {
            return;
        }
        const auto keyCode = code(keysymOf(key));
        const auto control =
            modifiers == KeyModifiers::command ? code(XKB_KEY_Control_L) : std::nullopt;
        if (!keyCode || (modifiers == KeyModifiers::command && !control)) {
            return;
        }
        // Virtual key events leave the compositor's modifier state alone: it is sent with them,
        // for the modifier keys a combination holds as for the paste's Control.
        const std::uint32_t time = milliseconds();
        const auto strike = [&](std::uint32_t code, bool pressed) {
            zwp_virtual_keyboard_v1_key(keyboard_.get(), time, code,
                                        pressed ? WL_KEYBOARD_KEY_STATE_PRESSED
                                                : WL_KEYBOARD_KEY_STATE_RELEASED);
        };
        const auto heldMask = keymap_->modifierMasks.find(keysymOf(key));
        if (heldMask != keymap_->modifierMasks.end()) {
            heldModifiers_ =
                down ? heldModifiers_ | heldMask->second : heldModifiers_ & ~heldMask->second;
        }
        const auto sendModifiers = [&](std::uint32_t extra) {
            zwp_virtual_keyboard_v1_modifiers(keyboard_.get(), heldModifiers_ | extra, 0, 0, 0);
        };
        if (down) {
            if (control) {
                strike(*control, true);
                sendModifiers(keymap_->controlMask);
            }
            strike(*keyCode, true);
            if (heldMask != keymap_->modifierMasks.end()) {
                sendModifiers(0);
            }
        } else {
            strike(*keyCode, false);
            if (control || heldMask != keymap_->modifierMasks.end()) {
                if (control) {
                    strike(*control, false);
                }
                sendModifiers(0);
            }
        }
        send();
    }

    // Characters of the US keymap, shifted where they need it; others on spare keys bound to
    // them by a keymap uploaded for the purpose (clients take it in order with the keys).
    std::size_t typeText(std::u32string_view text, std::chrono::microseconds pause) override {
        std::size_t typed = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            {
                const std::lock_guard guard(mutex_);
                if (!connect() || keyboard_ == nullptr) {
                    return typed;
                }
                const xkb_keysym_t sym = keysymOfCharacter(text[i]);
                const auto shiftMask = keymap_->modifierMasks.find(XKB_KEY_Shift_L);
                std::optional<std::uint32_t> keyCode = code(sym);
                std::uint32_t extra = 0;
                if (!keyCode && shiftMask != keymap_->modifierMasks.end()) {
                    keyCode = shiftedCode(sym);
                    extra = shiftMask->second;
                }
                if (!keyCode) {
                    extra = 0;
                    keyCode = borrowedCode(text.substr(i));
                }
                if (!keyCode) {
                    continue;
                }
                const std::uint32_t time = milliseconds();
                zwp_virtual_keyboard_v1_modifiers(keyboard_.get(), heldModifiers_ | extra, 0, 0, 0);
                zwp_virtual_keyboard_v1_key(keyboard_.get(), time, *keyCode,
                                            WL_KEYBOARD_KEY_STATE_PRESSED);
                zwp_virtual_keyboard_v1_key(keyboard_.get(), time, *keyCode,
                                            WL_KEYBOARD_KEY_STATE_RELEASED);
                zwp_virtual_keyboard_v1_modifiers(keyboard_.get(), heldModifiers_, 0, 0, 0);
                send();
            }
            ++typed;
            this->pause(pause);
        }
        return typed;
    }

private:
    // One notch of the wheel along `axis` (positive: down or right); nothing for 0.
    void postWheel(wl_pointer_axis axis, int steps) {
        const std::lock_guard guard(mutex_);
        if (steps == 0 || !connect()) {
            return;
        }
        zwlr_virtual_pointer_v1_axis_source(pointer_.get(), WL_POINTER_AXIS_SOURCE_WHEEL);
        zwlr_virtual_pointer_v1_axis_discrete(pointer_.get(), milliseconds(), axis,
                                              wl_fixed_from_double(steps * kWheelNotch), steps);
        zwlr_virtual_pointer_v1_frame(pointer_.get());
        send();
    }

    [[nodiscard]] std::optional<std::uint32_t> shiftedCode(xkb_keysym_t sym) const {
        const auto found = keymap_->shiftedCodes.find(sym);
        return found == keymap_->shiftedCodes.end() ? std::nullopt : std::optional(found->second);
    }

    [[nodiscard]] std::optional<std::uint32_t> code(xkb_keysym_t sym) const {
        if (!keymap_) {
            return std::nullopt;
        }
        const auto found = keymap_->codes.find(sym);
        return found == keymap_->codes.end() ? std::nullopt : std::optional(found->second);
    }

    static xkb_keysym_t keysymOfCharacter(char32_t character) {
        return character == U'\n'   ? XKB_KEY_Return
               : character == U'\t' ? XKB_KEY_Tab
                                    : xkb_utf32_to_keysym(character);
    }

    // The spare key bound to the first character of rest. When it is not bound yet, the next
    // keymap binds it and the characters after it the layout lacks, as many as there are spare
    // keys, so that a long Chinese text costs a keymap per batch, not per character.
    std::optional<std::uint32_t> borrowedCode(std::u32string_view rest) {
        const xkb_keysym_t sym = keysymOfCharacter(rest.front());
        if (sym == XKB_KEY_NoSymbol || keymap_->spareKeys.empty()) {
            return std::nullopt;
        }
        auto bound = std::find(borrowed_.begin(), borrowed_.end(), sym);
        if (bound == borrowed_.end()) {
            std::vector<xkb_keysym_t> wanted;
            for (const char32_t character : rest) {
                const xkb_keysym_t next = keysymOfCharacter(character);
                if (wanted.size() == keymap_->spareKeys.size()) {
                    break;
                }
                if (next != XKB_KEY_NoSymbol && !code(next) && !shiftedCode(next) &&
                    std::find(wanted.begin(), wanted.end(), next) == wanted.end()) {
                    wanted.push_back(next);
                }
            }
            const std::string text = withBorrowedKeys(*keymap_, wanted);
            if (text.empty()) {
                return std::nullopt;
            }
            try {
                uploadKeymap(text);
            } catch (const std::exception&) {
                return std::nullopt;
            }
            borrowed_ = std::move(wanted);
            bound = borrowed_.begin();
        }
        return keymap_->spareKeys[static_cast<std::size_t>(bound - borrowed_.begin())].second;
    }

    // The kept devices, made once per connection; false when the compositor cannot be reached
    // or lacks the protocols (a connection that merely lacks them is kept, not retried).
    bool connect() {
        if (connection_ && !connection_->broken()) {
            return pointer_ != nullptr;
        }
        dropDevices();
        connection_.reset();
        try {
            connection_ = std::make_shared<Connection>(socket_);
            if (!connection_->missingInputProtocols().empty()) {
                return false;
            }
            pointer_.reset(zwlr_virtual_pointer_manager_v1_create_virtual_pointer(
                connection_->pointerManager(), connection_->seat()));
            if (keymap_) {
                keyboard_.reset(zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(
                    connection_->keyboardManager(), connection_->seat()));
                uploadKeymap(keymap_->text);
                borrowed_.clear();
                // The keyboard becomes the seat's own, and its keymap reaches the focused client,
                // with its first event: a neutral modifier state, so that no key is that event.
                zwp_virtual_keyboard_v1_modifiers(keyboard_.get(), 0, 0, 0, 0);
                heldModifiers_ = 0;
            }
            // A compositor that refuses the devices says so within the round trip.
            connection_->roundtrip();
            // Where these are the seat's first pointer and keyboard, clients take up the new
            // capabilities only after the round trip; events before that are lost to them. Once
            // per connection, they get a moment.
            std::this_thread::sleep_for(kWarmUp);
        } catch (const std::exception&) {
            dropDevices();
            connection_.reset();
            return false;
        }
        return true;
    }

    void uploadKeymap(const std::string& text) {
        const std::size_t size = text.size() + 1;
        const int fd = ::memfd_create("zel-keymap", MFD_CLOEXEC);
        if (fd < 0) {
            throw std::runtime_error("No shared memory for the keymap.");
        }
        const bool written = ::ftruncate(fd, static_cast<off_t>(size)) == 0 &&
                             ::pwrite(fd, text.c_str(), size, 0) == static_cast<ssize_t>(size);
        if (written) {
            // The request carries a duplicate of the descriptor.
            zwp_virtual_keyboard_v1_keymap(keyboard_.get(), WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                           static_cast<std::uint32_t>(size));
        }
        ::close(fd);
        if (!written) {
            throw std::runtime_error("The keymap could not be written.");
        }
    }

    void dropDevices() {
        pointer_.reset();
        keyboard_.reset();
        if (connection_ && !connection_->broken()) {
            wl_display_flush(connection_->display());
        }
    }

    // Events go out at once; a failed connection is noticed by the next request's trust check.
    void send() {
        try {
            connection_->flush();
        } catch (const std::exception&) {
        }
    }

    [[nodiscard]] Rect layoutBox() const {
        int left = INT_MAX;
        int top = INT_MAX;
        int right = INT_MIN;
        int bottom = INT_MIN;
        for (const auto& output : connection_->outputs()) {
            const Rect rect = Connection::rect(*output);
            left = std::min(left, rect.x);
            top = std::min(top, rect.y);
            right = std::max(right, rect.x + rect.width);
            bottom = std::max(bottom, rect.y + rect.height);
        }
        return left > right ? Rect{} : Rect{left, top, right - left, bottom - top};
    }

    std::mutex mutex_;
    std::string socket_;
    std::optional<Keymap> keymap_;
    std::uint32_t heldModifiers_ = 0;        // modifier keys a combination holds down
    std::vector<xkb_keysym_t> borrowed_;     // bound to spareKeys in order by the uploaded keymap
    std::shared_ptr<Connection> connection_; // guarded by mutex_
    Proxy<zwlr_virtual_pointer_v1> pointer_;
    Proxy<zwp_virtual_keyboard_v1> keyboard_;
};

} // namespace

std::unique_ptr<InputBackend> makeInputBackend(const std::string& socket) {
    return std::make_unique<WaylandInputBackend>(socket);
}

} // namespace zel::wayland
