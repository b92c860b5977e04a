// Frames as tiles of what changed: a log of the change source's reports numbered by sequence, and
// a capture of the first display encoded as tiles of the regions changed since the viewer's last
// sequence (JPEG; for a viewer that takes copies at the desktop's own resolution also scrolls as
// copies of areas of its picture and low-colour tiles as palette PNG). Safe to call from many
// threads at once.
#pragma once

#include "capture/capture_backend.hpp"
#include "capture/change_source.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
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

inline constexpr int kTileCell = 16; // JPEG's 4:2:0 blocks, so tiles meet on block edges

// The tiles covering the changed rectangles (desktop coordinates) of a display on a frame of
// frameWidth × frameHeight: the rectangles scaled with a pixel of margin for the filter, snapped
// to 16-pixel cells, cells whose pixels `unchanged(column, row)` says are the same left out, then
// the dirty cells joined into row runs and equal runs stacked; their bounding box when they are too
// many. One tile of the whole frame when the tiles would cover most of it.
std::vector<TileRect> planTiles(const std::vector<ChangeRect>& changes,
                                const CaptureDisplay& display, int frameWidth, int frameHeight,
                                const std::function<bool(int column, int row)>& unchanged = {});

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

// A tile as PNG with a palette when it has at most 256 colours (exact, and small for text and
// flat areas), nothing otherwise.
std::optional<std::vector<std::uint8_t>> encodePalettePng(ConstPixelView pixels);

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
    ~ChangeTiles();

    // Calls `changed` once, on the caller's thread or the watch's, when the desktop has changed
    // after `since`; returns at once. Starts watching on first use (and again after the watch
    // ended); throws AppError "Change tracking is not available: <the source's error>" when it
    // cannot watch.
    void awaitChange(std::uint64_t since, std::function<void()> changed);

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
    struct Waiter {
        std::uint64_t since;
        std::function<void()> changed;
    };
    void record(const ChangeReport& report);
    void ensureWatching();
    // `screen` (the desktop's own pixels as last seen) brought up to date by grabbing only the
    // changed areas; nothing when the source has no area grabber or a grab failed.
    std::optional<Image> grabChanges(const std::vector<ChangeRect>& changes,
                                     const CaptureDisplay& display, Image screen);

    std::shared_ptr<CaptureBackend> capture_;
    std::shared_ptr<ChangeSource> source_;
    std::mutex watchMutex_; // held while a watch starts or goes, never by the watch's thread
    std::unique_ptr<ChangeWatch> watch_;
    std::mutex mutex_;
    std::uint64_t sequence_ = 0;     // guarded by mutex_
    std::uint64_t everythingAt_ = 0; // guarded by mutex_: the last report that said everything
    std::uint64_t forgottenAt_ = 0;  // guarded by mutex_: changes up to here left the log
    bool ended_ = true;              // guarded by mutex_: no watch is running
    struct Entry {
        std::uint64_t sequence;
        ChangeRect rect;
    };
    std::deque<Entry> log_;       // guarded by mutex_
    std::vector<Waiter> waiters_; // guarded by mutex_
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
