#include "capture/tile_plan.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zel {
namespace {

// Past these the tiles cost more than one frame: its JPEG compresses across tile edges.
constexpr double kWholeFrameShare = 0.5;

} // namespace

std::vector<TileRect> planTiles(const std::vector<ChangeRect>& changes,
                                const CaptureDisplay& display, int frameWidth, int frameHeight,
                                const std::function<bool(int column, int row)>& unchanged) {
    std::vector<TileRect> whole{{0, 0, frameWidth, frameHeight}};
    if (display.width < 1 || display.height < 1 || frameWidth < 1 || frameHeight < 1) {
        return whole;
    }
    const int columns = (frameWidth + kTileCell - 1) / kTileCell;
    const int rows = (frameHeight + kTileCell - 1) / kTileCell;
    std::vector<bool> dirty(static_cast<std::size_t>(columns) * rows, false);
    const double sx = static_cast<double>(frameWidth) / display.width;
    const double sy = static_cast<double>(frameHeight) / display.height;
    for (const ChangeRect& change : changes) {
        // One frame pixel of margin: the filter carries a change into its neighbours.
        const int x0 = std::max(0, static_cast<int>(std::floor((change.x - display.x) * sx)) - 1);
        const int y0 = std::max(0, static_cast<int>(std::floor((change.y - display.y) * sy)) - 1);
        const int x1 =
            std::min(frameWidth,
                     static_cast<int>(std::ceil((change.x + change.width - display.x) * sx)) + 1);
        const int y1 =
            std::min(frameHeight,
                     static_cast<int>(std::ceil((change.y + change.height - display.y) * sy)) + 1);
        for (int row = y0 / kTileCell; row * kTileCell < y1; ++row) {
            for (int column = x0 / kTileCell; column * kTileCell < x1; ++column) {
                dirty[static_cast<std::size_t>(row) * columns + column] = true;
            }
        }
    }
    if (unchanged) {
        for (int row = 0; row < rows; ++row) {
            for (int column = 0; column < columns; ++column) {
                const std::size_t cell = static_cast<std::size_t>(row) * columns + column;
                if (dirty[cell] && unchanged(column, row)) {
                    dirty[cell] = false;
                }
            }
        }
    }
    // Runs of dirty cells per row; a run equal to one in the row above extends that tile down.
    std::vector<TileRect> cells;   // in cells
    std::vector<std::size_t> open; // tiles ending on the row above
    for (int row = 0; row < rows; ++row) {
        std::vector<std::size_t> next;
        for (int column = 0; column < columns;) {
            if (!dirty[static_cast<std::size_t>(row) * columns + column]) {
                ++column;
                continue;
            }
            const int start = column;
            while (column < columns && dirty[static_cast<std::size_t>(row) * columns + column]) {
                ++column;
            }
            const auto above = std::ranges::find_if(open, [&](std::size_t i) {
                return cells[i].x == start && cells[i].width == column - start;
            });
            if (above != open.end()) {
                ++cells[*above].height;
                next.push_back(*above);
            } else {
                next.push_back(cells.size());
                cells.push_back({start, row, column - start, 1});
            }
        }
        open = std::move(next);
    }
    // Too many pieces (a moving picture leaves scattered unchanged cells): their bounding box.
    if (cells.size() > kMaximumTiles) {
        TileRect box = cells.front();
        for (const TileRect& cell : cells) {
            const int right = std::max(box.x + box.width, cell.x + cell.width);
            const int bottom = std::max(box.y + box.height, cell.y + cell.height);
            box = {std::min(box.x, cell.x), std::min(box.y, cell.y), 0, 0};
            box.width = right - box.x;
            box.height = bottom - box.y;
        }
        cells = {box};
    }
    std::vector<TileRect> tiles;
    long long area = 0;
    for (const TileRect& cell : cells) {
        TileRect tile{cell.x * kTileCell, cell.y * kTileCell, cell.width * kTileCell,
                      cell.height * kTileCell};
        tile.width = std::min(tile.width, frameWidth - tile.x);
        tile.height = std::min(tile.height, frameHeight - tile.y);
        area += static_cast<long long>(tile.width) * tile.height;
        tiles.push_back(tile);
    }
    if (static_cast<double>(area) > kWholeFrameShare * frameWidth * frameHeight) {
        return whole;
    }
    return tiles;
}

std::vector<TileRect> changedRegions(const std::vector<ChangeRect>& changes,
                                     const CaptureDisplay& display, int width, int height) {
    std::vector<TileRect> regions;
    for (const ChangeRect& change : changes) {
        const int x0 = std::max(0, change.x - display.x);
        const int y0 = std::max(0, change.y - display.y);
        const int x1 = std::min(width, change.x - display.x + change.width);
        const int y1 = std::min(height, change.y - display.y + change.height);
        if (x1 > x0 && y1 > y0) {
            regions.push_back({x0, y0, x1 - x0, y1 - y0});
        }
    }
    const auto join = [](TileRect& a, const TileRect& b) {
        const int x1 = std::max(a.x + a.width, b.x + b.width);
        const int y1 = std::max(a.y + a.height, b.y + b.height);
        a.x = std::min(a.x, b.x);
        a.y = std::min(a.y, b.y);
        a.width = x1 - a.x;
        a.height = y1 - a.y;
    };
    if (regions.size() > kMaximumTiles) { // a viewer far behind: one box
        TileRect box = regions.front();
        for (const TileRect& r : regions) {
            join(box, r);
        }
        return {box};
    }
    for (bool joined = true; joined;) {
        joined = false;
        for (std::size_t i = 0; i < regions.size() && !joined; ++i) {
            for (std::size_t j = i + 1; j < regions.size(); ++j) {
                const TileRect& a = regions[i];
                const TileRect& b = regions[j];
                if (a.x <= b.x + b.width && b.x <= a.x + a.width && a.y <= b.y + b.height &&
                    b.y <= a.y + a.height) {
                    join(regions[i], b);
                    regions.erase(regions.begin() + static_cast<std::ptrdiff_t>(j));
                    joined = true;
                    break;
                }
            }
        }
    }
    return regions;
}

bool cellUnchanged(ConstPixelView now, ConstPixelView before, int column, int row) {
    const int x = column * kTileCell;
    const auto bytes = static_cast<std::size_t>(std::min(kTileCell, now.width - x)) * 4;
    const std::size_t offset = static_cast<std::size_t>(x) * 4;
    for (int y = row * kTileCell; y < std::min((row + 1) * kTileCell, now.height); ++y) {
        if (std::memcmp(now.data + y * now.stride + offset,
                        before.data + y * before.stride + offset, bytes) != 0) {
            return false;
        }
    }
    return true;
}

} // namespace zel
