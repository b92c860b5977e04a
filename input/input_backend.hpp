// The platform side of input injection: posting pointer, wheel and key events, the main display's
// bounds and the trust check. InputActions is written against this interface only.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zel {

// A position in the desktop's coordinates (pixels on X11, layout units on Wayland); y grows
// downwards.
struct ScreenPoint {
    double x = 0;
    double y = 0;
    friend bool operator==(const ScreenPoint&, const ScreenPoint&) = default;
};

// The main display's rectangle in the global display space.
struct DisplayBounds {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    friend bool operator==(const DisplayBounds&, const DisplayBounds&) = default;
};

enum class MouseButton { left, right, middle };

enum class MouseEventType {
    moved,
    leftDown,
    leftUp,
    rightDown,
    rightUp,
    leftDragged,
    rightDragged,
    middleDown,
    middleUp
};

// The keys the input requests can strike; v only as part of the paste stroke. The ones after v
// serve key combinations: the forward Delete, the navigation and function keys, the modifiers.
enum class Key {
    returnKey,
    tab,
    space,
    deleteBackward,
    escape,
    left,
    right,
    down,
    up,
    v,
    deleteForward,
    insert,
    home,
    end,
    pageUp,
    pageDown,
    menu,
    f1,
    f2,
    f3,
    f4,
    f5,
    f6,
    f7,
    f8,
    f9,
    f10,
    f11,
    f12,
    control,
    alt,
    super,
    shift
};

// Modifier state carried by a key event. `command` is the shortcut modifier of copy and paste:
// Control on Linux desktops.
enum class KeyModifiers { none, command };

// Implementations must be safe to call from several threads at once: requests on different
// connections run concurrently. Their event sequences must not interleave (a key posted while a
// paste holds Control would arrive as Ctrl+key), so each request holds the sequence first.
class InputBackend {
public:
    InputBackend() = default;
    InputBackend(const InputBackend&) = delete;
    InputBackend& operator=(const InputBackend&) = delete;
    InputBackend(InputBackend&&) = delete;
    InputBackend& operator=(InputBackend&&) = delete;
    virtual ~InputBackend() = default;

    // Whether this process may post input events; asked before every request.
    virtual bool trusted() = 0;
    // What a refused request answers: what is missing on this platform and what to do about it.
    [[nodiscard]] virtual std::string notTrustedMessage() const {
        return "无法控制键盘和鼠标：此桌面不允许 Zel Desktop Agent 模拟输入。";
    }
    // Read afresh on every call so that a change of display arrangement shows in the next request.
    virtual DisplayBounds mainDisplayBounds() = 0;

    // An event the platform cannot create is skipped silently; posting never fails.
    virtual void postMouse(MouseEventType type, ScreenPoint point, MouseButton button) = 0;
    // One line-based wheel step at the pointer; positive scrolls up.
    virtual void postScroll(int lineDelta) = 0;
    // One step of the horizontal wheel at the pointer; positive scrolls right. The default posts
    // nothing.
    virtual void postHorizontalScroll(int columnDelta) { (void)columnDelta; }
    // Whether both events of a stroke of this key (with these modifiers) can be created; when
    // not, the stroke posts nothing.
    virtual bool canPostKey(Key key, KeyModifiers modifiers) = 0;
    virtual void postKey(Key key, bool down, KeyModifiers modifiers) = 0;
    // Strikes each character of `text` (line feed as Return, tab as Tab) as a key press and
    // release, adding the shift its character needs, pausing `pause` after each event; modifier
    // keys already held stay held. Returns how many characters it struck: one the keyboard cannot
    // make is left out. Runs under the held sequence. The default types nothing.
    virtual std::size_t typeText(std::u32string_view /*text*/,
                                 std::chrono::microseconds /*pause*/) {
        return 0;
    }

    // The pauses between events, the pace of every action sequence. Real backends sleep; a
    // recording one keeps its own clock.
    virtual void pause(std::chrono::microseconds duration) {
        std::this_thread::sleep_for(duration);
    }

    // Held for the whole event sequence of one request: one sequence at a time per display.
    [[nodiscard]] std::unique_lock<std::mutex> holdSequence() {
        return std::unique_lock(eventSequence_);
    }

    // The keys "key_down" left held, in the order pressed; read and changed only under
    // holdSequence().
    [[nodiscard]] std::vector<Key>& heldKeys() { return heldKeys_; }

private:
    std::mutex eventSequence_;
    std::vector<Key> heldKeys_;
};

} // namespace zel
