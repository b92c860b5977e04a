// What changed on the screen while waiting for it to settle, as a few boxes an agent can read:
// the change log's rectangles grouped, and, where the platform has no change source, frames
// compared with the one before.
#pragma once

#include "capture/capture_backend.hpp"
#include "capture/change_source.hpp"
#include "capture/image.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

namespace zel {

// Boxes a settle answer lists at most; more groups than this come as their one bounding box.
inline constexpr std::size_t kMaxSettleBoxes = 16;

// The rectangles clipped to the display and grouped: rectangles within one 32-pixel cell of each
// other form a group, answered as the bounding box of its rectangles (desktop coordinates),
// largest first. More than `limit` groups give the bounding box of them all.
std::vector<ChangeRect> changedBoxes(const std::vector<ChangeRect>& rects,
                                     const CaptureDisplay& display,
                                     std::size_t limit = kMaxSettleBoxes);

// The 32-pixel cells where two frames of one size differ, as rectangles in the frame's pixels;
// everything when the sizes differ.
std::vector<ChangeRect> differingCells(ConstPixelView before, ConstPixelView now);

// Change tracking by comparing frames at the display's own pixels, for a platform without a
// change source. One comparison per waiting request; one thread at a time.
class FrameComparison {
public:
    explicit FrameComparison(std::shared_ptr<CaptureBackend> capture);

    // Captures the first display and answers the boxes (as changedBoxes) where it differs from
    // the frame of the previous call; nothing on the first call. Throws what a screenshot throws.
    std::vector<ChangeRect> look();
    // The display of the last frame.
    [[nodiscard]] const CaptureDisplay& display() const { return display_; }

private:
    std::shared_ptr<CaptureBackend> capture_;
    CaptureDisplay display_;
    std::optional<Image> previous_;
};

} // namespace zel
