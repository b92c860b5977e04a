// Where a stream's frame changed, for streams whose buffers carry no damage: the frame held against
// the one before it, cell by cell; and a frame's pixels placed on the shared monitor.
#pragma once

#include "capture/change_source.hpp"
#include "capture/image.hpp"

#include <vector>

namespace zel::portal {

// Where `after` differs from `before` (both of one size), in cells of `cell` pixels; the changed
// cells of one row of cells are joined into runs.
std::vector<ChangeRect> changedCells(ConstPixelView before, ConstPixelView after, int cell = 32);

// A rectangle of a frame's pixels in desktop coordinates, where the frame shows `monitor` (of
// another size when the monitor is scaled), widened to whole desktop units; clipped to the frame.
ChangeRect onMonitor(const ChangeRect& rect, int frameWidth, int frameHeight,
                     const ChangeRect& monitor);

} // namespace zel::portal
