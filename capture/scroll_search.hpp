// Scrolls found between the viewer's picture and a new frame, sent as copies of areas of the
// picture rather than as the pixels they moved.
#pragma once

#include "capture/image.hpp"
#include "capture/tile_plan.hpp"

#include <vector>

namespace zel {

// An area of the viewer's picture drawn again at (toX, toY): how a scroll travels.
struct TileCopy {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int toX = 0;
    int toY = 0;

    bool operator==(const TileCopy&) const = default;
};

// Vertical scrolls inside `regions` (frame pixels): per region, the shift of `before`'s rows that
// explains most of the changed rows of `now`, as copies of the runs of rows it explains exactly,
// in the order they are to be applied. Both pictures are the same size.
std::vector<TileCopy> findScrolls(ConstPixelView before, ConstPixelView now,
                                  const std::vector<TileRect>& regions);

// The copies drawn in order onto the picture, as the viewer draws them.
void applyCopies(PixelView picture, const std::vector<TileCopy>& copies);

} // namespace zel
