#include "platform/portal/frame_changes.hpp"

#include <algorithm>
#include <cstring>

namespace zel::portal {

std::vector<ChangeRect> changedCells(ConstPixelView before, ConstPixelView after, int cell) {
    std::vector<ChangeRect> changed;
    if (before.width != after.width || before.height != after.height || cell < 1) {
        changed.push_back({0, 0, after.width, after.height});
        return changed;
    }
    for (int top = 0; top < after.height; top += cell) {
        const int rows = std::min(cell, after.height - top);
        int run = -1; // the left edge of the run of changed cells in this row, if any
        for (int left = 0; left < after.width + cell; left += cell) { // past the edge: ends a run
            bool differs = false;
            if (left < after.width) {
                const auto bytes = static_cast<std::size_t>(std::min(cell, after.width - left)) * 4;
                for (int y = top; y < top + rows && !differs; ++y) {
                    const auto at = static_cast<std::size_t>(left) * 4;
                    differs = std::memcmp(before.data + y * before.stride + at,
                                          after.data + y * after.stride + at, bytes) != 0;
                }
            }
            if (differs && run < 0) {
                run = left;
            } else if (!differs && run >= 0) {
                changed.push_back({run, top, std::min(left, after.width) - run, rows});
                run = -1;
            }
        }
    }
    return changed;
}

ChangeRect onMonitor(const ChangeRect& rect, int frameWidth, int frameHeight,
                     const ChangeRect& monitor) {
    if (frameWidth < 1 || frameHeight < 1) {
        return monitor;
    }
    const int left = std::clamp(rect.x, 0, frameWidth);
    const int top = std::clamp(rect.y, 0, frameHeight);
    const int right = std::clamp(rect.x + rect.width, 0, frameWidth);
    const int bottom = std::clamp(rect.y + rect.height, 0, frameHeight);
    const auto down = [](int v, int units, int pixels) {
        return static_cast<int>(static_cast<long long>(v) * units / pixels);
    };
    const auto up = [](int v, int units, int pixels) {
        return static_cast<int>((static_cast<long long>(v) * units + pixels - 1) / pixels);
    };
    const int x = monitor.x + down(left, monitor.width, frameWidth);
    const int y = monitor.y + down(top, monitor.height, frameHeight);
    return {x, y, monitor.x + up(right, monitor.width, frameWidth) - x,
            monitor.y + up(bottom, monitor.height, frameHeight) - y};
}

} // namespace zel::portal
