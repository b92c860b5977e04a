#include "capture/screen_settle.hpp"

#include "base/app_error.hpp"
#include "capture/screenshot.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <utility>

namespace zel {
namespace {

constexpr int kCell = 32;

ChangeRect unite(const ChangeRect& a, const ChangeRect& b) {
    const int left = std::min(a.x, b.x);
    const int top = std::min(a.y, b.y);
    return {left, top, std::max(a.x + a.width, b.x + b.width) - left,
            std::max(a.y + a.height, b.y + b.height) - top};
}

// Union-find over rectangle indexes.
int root(std::vector<int>& parent, int i) {
    while (parent[i] != i) {
        parent[i] = parent[parent[i]];
        i = parent[i];
    }
    return i;
}

} // namespace

std::vector<ChangeRect> changedBoxes(const std::vector<ChangeRect>& rects,
                                     const CaptureDisplay& display, std::size_t limit) {
    std::vector<ChangeRect> clipped;
    for (const ChangeRect& rect : rects) {
        const int left = std::max(rect.x, display.x);
        const int top = std::max(rect.y, display.y);
        const int right = std::min(rect.x + rect.width, display.x + display.width);
        const int bottom = std::min(rect.y + rect.height, display.y + display.height);
        if (right > left && bottom > top) {
            clipped.push_back({left, top, right - left, bottom - top});
        }
    }
    if (clipped.empty()) {
        return {};
    }
    // Each rectangle marks the cells it touches, grown by one cell; rectangles that mark a common
    // cell join. Cost: the cells the rectangles cover, never the pairs of rectangles.
    const int columns = (display.width + kCell - 1) / kCell + 2;
    const int rows = (display.height + kCell - 1) / kCell + 2;
    std::vector<int> owner(static_cast<std::size_t>(columns) * rows, -1);
    std::vector<int> parent(clipped.size());
    std::iota(parent.begin(), parent.end(), 0);
    for (int i = 0; i < static_cast<int>(clipped.size()); ++i) {
        const ChangeRect& r = clipped[i];
        const int firstColumn = (r.x - display.x) / kCell;
        const int lastColumn = (r.x - display.x + r.width - 1) / kCell + 2;
        const int firstRow = (r.y - display.y) / kCell;
        const int lastRow = (r.y - display.y + r.height - 1) / kCell + 2;
        for (int row = firstRow; row <= lastRow; ++row) {
            for (int column = firstColumn; column <= lastColumn; ++column) {
                int& cell = owner[static_cast<std::size_t>(row) * columns + column];
                if (cell < 0) {
                    cell = i;
                } else {
                    parent[root(parent, i)] = root(parent, cell);
                }
            }
        }
    }
    std::vector<std::optional<ChangeRect>> groups(clipped.size());
    for (int i = 0; i < static_cast<int>(clipped.size()); ++i) {
        auto& group = groups[root(parent, i)];
        group = group ? unite(*group, clipped[i]) : clipped[i];
    }
    std::vector<ChangeRect> boxes;
    for (const auto& group : groups) {
        if (group) {
            boxes.push_back(*group);
        }
    }
    if (boxes.size() > limit) {
        return {std::accumulate(boxes.begin() + 1, boxes.end(), boxes.front(), unite)};
    }
    std::ranges::stable_sort(boxes, std::greater{},
                             [](const ChangeRect& r) { return std::int64_t{r.width} * r.height; });
    return boxes;
}

std::vector<ChangeRect> differingCells(ConstPixelView before, ConstPixelView now) {
    if (before.width != now.width || before.height != now.height) {
        return {{0, 0, now.width, now.height}};
    }
    std::vector<ChangeRect> cells;
    for (int top = 0; top < now.height; top += kCell) {
        const int height = std::min(kCell, now.height - top);
        for (int left = 0; left < now.width; left += kCell) {
            const int width = std::min(kCell, now.width - left);
            const auto bytes = static_cast<std::size_t>(width) * 4;
            for (int y = top; y < top + height; ++y) {
                const auto offset = static_cast<std::size_t>(left) * 4;
                if (std::memcmp(before.data + y * before.stride + offset,
                                now.data + y * now.stride + offset, bytes) != 0) {
                    cells.push_back({left, top, width, height});
                    break;
                }
            }
        }
    }
    return cells;
}

FrameComparison::FrameComparison(std::shared_ptr<CaptureBackend> capture)
    : capture_(std::move(capture)) {}

std::vector<ChangeRect> FrameComparison::look() {
    const std::vector<CaptureDisplay> displays = capture_->displays();
    if (displays.empty()) {
        throw AppError("No display is available.");
    }
    display_ = displays.front();
    Image frame = Screenshot::captureFrame(*capture_, display_.width);
    std::vector<ChangeRect> boxes;
    if (previous_) {
        std::vector<ChangeRect> cells =
            differingCells(std::as_const(*previous_).view(), std::as_const(frame).view());
        // Frame pixels are desktop pixels here, from the display's origin.
        for (ChangeRect& cell : cells) {
            cell.x += display_.x;
            cell.y += display_.y;
        }
        const CaptureDisplay frameArea{display_.id, frame.width(), frame.height(), display_.x,
                                       display_.y};
        boxes = changedBoxes(cells, frameArea);
    }
    previous_ = std::move(frame);
    return boxes;
}

} // namespace zel
