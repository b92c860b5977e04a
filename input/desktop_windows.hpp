// The desktop's top-level windows as its window manager knows them, and raising one: what a remote
// client needs to find and switch to an application without reading pixels. The app's own windows
// are listed (they are on the screen) but never focused for a remote client, as input never acts
// on them either (own_windows.hpp).
#pragma once

#include "input/input_backend.hpp"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

inline constexpr std::string_view kOwnWindowFocusMessage =
    "这是 Zel Desktop Agent 自己的窗口：远程设备不能切换到它，请在电脑上直接操作。";

struct DesktopWindow {
    // Stable while the window lives, in the platform's own terms ("0x1a00003" on X11, the
    // container's number on sway).
    std::string id;
    std::string title;
    // WM_CLASS's class on X11, the app id on Wayland; empty when the window does not say.
    std::string application;
    std::int64_t pid = 0; // 0: unknown
    // The window with its decorations, in the desktop's coordinates (as ScreenPoint); none when
    // the platform cannot tell.
    std::optional<DisplayBounds> bounds;
    bool focused = false;
    bool minimized = false;
    bool own = false; // one of the app's own windows
};

// Implementations ask the window manager afresh at every call and are safe to use from several
// threads at once.
class DesktopWindows {
public:
    virtual ~DesktopWindows() = default;
    // Top-level windows, the topmost first. Throws AppError when the desktop cannot be asked.
    virtual std::vector<DesktopWindow> list() = 0;
    // Asks the window manager to raise and focus the window `list` gave with this id (showing it
    // first when minimized); returns whether it has the focus after a short wait. Throws AppError
    // when no such window exists (any more) or the desktop cannot be asked.
    virtual bool focus(const DesktopWindow& window) = 0;
};

// ISO 8859-1 text (X11's STRING properties) as UTF-8.
std::string latin1ToUTF8(std::string_view text);

// The control service's answers. Titles and names that are not UTF-8 are taken as ISO 8859-1.
// `display`: the main display's bounds, which the screenshot shows, so that the agent server can
// map bounds into a screenshot's pixels.
nlohmann::json windowListJSON(const std::vector<DesktopWindow>& windows,
                              std::optional<DisplayBounds> display);
// body: {"id":"…"}. Refuses unknown ids and the app's own windows with a readable text.
nlohmann::json focusWindow(DesktopWindows& windows, std::string_view body);

} // namespace zel
