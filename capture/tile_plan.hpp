// Where the tiles of an update go: the changed rectangles of a display mapped onto a frame, snapped
// to 16-pixel cells, cells that kept their pixels left out, and the rest joined into few tiles.
#pragma once

#include "capture/capture_backend.hpp"
#include "capture/change_source.hpp"
#include "capture/image.hpp"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <vector>

namespace zel {

// A tile of a frame in frame pixels.
struct TileRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool operator==(const TileRect&) const = default;
};

inline bool overlaps(const TileRect& a, const TileRect& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
           b.y < a.y + a.height;
}

// The part of `a` within `b`; empty (zero size) where they do not overlap.
inline TileRect intersection(const TileRect& a, const TileRect& b) {
    const int x = std::max(a.x, b.x);
    const int y = std::max(a.y, b.y);
    return {x, y, std::max(0, std::min(a.x + a.width, b.x + b.width) - x),
            std::max(0, std::min(a.y + a.height, b.y + b.height) - y)};
}

inline bool contains(const TileRect& outer, const TileRect& inner) {
    return inner.x >= outer.x && inner.y >= outer.y &&
           inner.x + inner.width <= outer.x + outer.width &&
           inner.y + inner.height <= outer.y + outer.height;
}

inline constexpr int kTileCell = 16; // JPEG's 4:2:0 blocks, so tiles meet on block edges

// The viewer decodes every tile on its own (about a third of a millisecond each in a phone's
// browser): the ragged tiles of a moving picture took 7 times as long to show as their bounding
// box, for about the same bytes.
inline constexpr std::size_t kMaximumTiles = 16;

// The tiles covering the changed rectangles (desktop coordinates) of a display on a frame of
// frameWidth × frameHeight: the rectangles scaled with a pixel of margin for the filter, snapped
// to 16-pixel cells, cells whose pixels `unchanged(column, row)` says are the same left out, then
// the dirty cells joined into row runs and equal runs stacked; their bounding box when they are too
// many. One tile of the whole frame when the tiles would cover most of it.
std::vector<TileRect> planTiles(const std::vector<ChangeRect>& changes,
                                const CaptureDisplay& display, int frameWidth, int frameHeight,
                                const std::function<bool(int column, int row)>& unchanged = {});

// The changed rectangles in frame pixels of an unscaled frame (width × height), overlapping or
// touching ones joined: a scroll's copied area and its new line come as separate rectangles.
std::vector<TileRect> changedRegions(const std::vector<ChangeRect>& changes,
                                     const CaptureDisplay& display, int width, int height);

// Whether cell (column, row) has the same pixels in both pictures, which are the same size.
bool cellUnchanged(ConstPixelView now, ConstPixelView before, int column, int row);

} // namespace zel
