// Frames as tiles of what changed: over the change log, a capture of the first display encoded as
// tiles of the regions changed since the viewer's last sequence (JPEG; for a viewer that takes
// copies at the desktop's own resolution also scrolls as copies of areas of its picture and
// low-colour tiles as palette PNG). Safe to call from many threads at once.
#pragma once

#include "capture/capture_backend.hpp"
#include "capture/change_log.hpp"
#include "capture/change_source.hpp"
#include "capture/palette_png.hpp"
#include "capture/scroll_search.hpp"
#include "capture/tile_plan.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace zel {

// What goes to the viewer for one update of `now` (a frame of the display): the copies, the tiles
// and their files. `before` is the picture the viewer has (null: unknown, nothing is left out) and
// becomes what it will have. With `copies`, scrolls go as copies and low-colour tiles as PNG;
// the rest is JPEG at `quality`. `whole` asks for one tile of the whole frame.
struct EncodedTiles {
    std::vector<TileCopy> copies;
    std::vector<TileRect> tiles;
    std::vector<std::vector<std::uint8_t>> files;
    bool whole = false;
};
EncodedTiles encodeTiles(const std::vector<ChangeRect>& changes, const CaptureDisplay& display,
                         ConstPixelView now, Image* before, int quality, bool copies, bool whole);

class ChangeTiles {
public:
    ChangeTiles(std::shared_ptr<CaptureBackend> capture, std::shared_ptr<ChangeSource> changes);
    ChangeTiles(const ChangeTiles&) = delete;
    ChangeTiles& operator=(const ChangeTiles&) = delete;
    ~ChangeTiles() = default;

    // Calls `changed` once, on the caller's thread or the watch's, when the desktop has changed
    // after `since`; returns at once. Starts watching on first use (and again after the watch
    // ended); throws AppError "Change tracking is not available: <the source's error>" when it
    // cannot watch.
    void awaitChange(std::uint64_t since, std::function<void()> changed);

    // What the change log holds after `since` (ChangeLog::changesSince).
    ChangeLog::Changes changesSince(std::uint64_t since) { return log_.changesSince(since); }

    // The answer of the tiles route: a JSON head line
    //   {"sequence":N,"width":W,"height":H,"full":true|false,"tiles":[[x,y,w,h,bytes],...]}
    // then the tiles' files back to back. Nothing changed after `since`: no capture, no tiles.
    // `since` 0, older than the log remembers, or before the source lost track: one tile of the
    // whole frame. `copies`: the viewer applies "copies":[[x,y,w,h,toX,toY],...] (listed before
    // "tiles", found only while the frame is at the desktop's own resolution, where a scroll is a
    // whole-pixel shift) and takes PNG tiles. Throws what a screenshot throws.
    std::vector<std::uint8_t> tiles(std::uint64_t since, int width, int quality,
                                    bool copies = false);

private:
    // `screen` (the desktop's own pixels as last seen) brought up to date by grabbing only the
    // changed areas; nothing when the source has no area grabber or a grab failed.
    std::optional<Image> grabChanges(const std::vector<ChangeRect>& changes,
                                     const CaptureDisplay& display, Image screen);

    std::shared_ptr<CaptureBackend> capture_;
    std::shared_ptr<ChangeSource> source_;
    ChangeLog log_;
    // The picture the viewer has after the last answer (its tiles pasted on the one before), so
    // that drawing which leaves pixels as they were sends nothing. Only one viewer is followed:
    // an answer made while another was being made leaves none.
    struct Shown {
        std::uint64_t sequence = 0;
        Image image;
        std::optional<Image> screen; // the frame it came from, when at the desktop's own pixels
    };
    std::mutex grabMutex_;
    std::unique_ptr<AreaGrabber> grabber_; // guarded by grabMutex_
    bool noGrabber_ = false;               // guarded by grabMutex_: the source has none
    std::mutex shownMutex_;
    std::optional<Shown> shown_; // guarded by shownMutex_
    std::uint64_t answers_ = 0;  // guarded by shownMutex_
};

} // namespace zel
