// Where the app's own windows are and whether one has the keyboard focus, so that a remote client
// can never operate the app itself (switch it off, answer its consent question). Platforms that
// cannot tell where a window lies cover nothing; the focus is known everywhere.
#pragma once

#include "input/input_backend.hpp"

#include <string_view>
#include <vector>

namespace zel {

inline constexpr std::string_view kOwnWindowPointerMessage =
    "这个位置是 Zel Desktop Agent 自己的窗口：远程设备不能操作它，请在电脑上直接操作。";
inline constexpr std::string_view kOwnWindowKeysMessage =
    "Zel Desktop Agent 的窗口正在接收键盘输入：远程设备不能向它按键，请先在画面中点选其他窗口。";

struct OwnWindowState {
    // Visible windows of ours, in the desktop's coordinates (as ScreenPoint).
    std::vector<DisplayBounds> areas;
    bool focused = false;

    [[nodiscard]] bool covers(ScreenPoint point) const {
        for (const DisplayBounds& area : areas) {
            if (point.x >= area.x && point.y >= area.y && point.x < area.x + area.width &&
                point.y < area.y + area.height) {
                return true;
            }
        }
        return false;
    }
};

// Asked before every input request, from the control service's threads.
class OwnWindows {
public:
    virtual ~OwnWindows() = default;
    // Whether a pointer event at the point would reach one of our windows: it is there and no
    // other window covers it.
    virtual bool covers(ScreenPoint point) = 0;
    // Whether one of our windows has the keyboard focus.
    virtual bool focused() = 0;
};

} // namespace zel
