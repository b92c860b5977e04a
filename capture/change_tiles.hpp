// Frames as tiles of what changed: over the change log, a capture of the first display encoded as
// tiles of the regions changed since the viewer's last sequence (JPEG; for a viewer that takes
// copies also low-colour tiles as palette PNG where that is smaller, and at the desktop's own
// resolution scrolls as copies of areas of its picture). Safe to call from many threads at once.
#pragma once

#include "capture/capture_backend.hpp"
#include "capture/change_log.hpp"
#include "capture/change_source.hpp"
#include "capture/moving_region.hpp"
#include "capture/palette_png.hpp"
#include "capture/scroll_search.hpp"
#include "capture/tile_plan.hpp"
#include "capture/video_encoder.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zel {

// One tile's file: the smaller of its palette PNG (when `palette` and it has at most 256 colours)
// and its JPEG at `quality`. Text is then lossless and a few hundred bytes at any quality, while a
// busy low-colour area (dithering, noise) still costs what JPEG makes of it.
std::optional<std::vector<std::uint8_t>> encodeTile(ConstPixelView pixels, int quality,
                                                    bool palette);

// What goes to the viewer for one update of `now` (a frame of the display): the copies, the tiles
// and their files. `before` is the picture the viewer has (null: unknown, nothing is left out) and
// becomes what it will have. With `copies`, scrolls go as copies (only in a frame at the desktop's
// own resolution, where a scroll is a whole-pixel shift) and each tile as encodeTile chooses at any
// width; without, JPEG at `quality`. `whole` asks for one tile of the whole frame. `video`: an area
// the viewer gets as video, left out of the tiles and the copies.
struct EncodedTiles {
    std::vector<TileCopy> copies;
    std::vector<TileRect> tiles;
    std::vector<std::vector<std::uint8_t>> files;
    bool whole = false;
    bool videoScrolled = false; // copies that touched the video were left out
};
EncodedTiles encodeTiles(const std::vector<ChangeRect>& changes, const CaptureDisplay& display,
                         ConstPixelView now, Image* before, int quality, bool copies, bool whole,
                         const std::optional<TileRect>& video = std::nullopt);

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
    // `pointer`: the viewer draws the pointer itself (see tiles()).
    void awaitChange(std::uint64_t since, std::function<void()> changed, bool pointer = false);

    // What the change log holds after `since` (ChangeLog::changesSince).
    ChangeLog::Changes changesSince(std::uint64_t since) { return log_.changesSince(since); }

    // The answer of the tiles route: a JSON head line
    //   {"sequence":N[,"frames":true],"width":W,"height":H,"full":true|false,"tiles":[[x,y,w,h,bytes],...]}
    // then the tiles' files back to back. "frames": each change is a whole frame of the
    // compositor's (ChangeSource::reportsFrames). Nothing changed after `since`: no capture, no
    // tiles. `since` 0, older than the log remembers, or before the source lost track: one tile of
    // the whole frame. `copies`: the viewer applies "copies":[[x,y,w,h,toX,toY],...] (listed before
    // "tiles", found only while the frame is at the desktop's own resolution, where a scroll is a
    // whole-pixel shift) and takes PNG tiles at any width. `pointer`: the viewer draws the pointer
    // itself, so frames come without the cursor and the cursor's moves are no change (where the
    // source tells the pointer; elsewhere it stays in the frames). `videoBitrate` (bits/s, 0:
    // none): the viewer decodes H.264, so an area that changes in nearly every update goes as a
    // video stream, "video":[x,y,w,h,key,bytes] with its access unit after the tiles' files (key:
    // an IDR, sent when the stream starts, changes size or is asked from another sequence than it
    // left). `videoWidth`: the width the viewer shows the frame at (0: its own); a frame wider than
    // that has its video encoded at that scale (drawn stretched to w × h), as the finer pixels
    // would not show. Asked with nothing changed while a video runs, the video ends: its area comes
    // as tiles. Throws what a screenshot throws.
    std::vector<std::uint8_t> tiles(std::uint64_t since, int width, int quality,
                                    bool copies = false, bool pointer = false, int videoBitrate = 0,
                                    int videoWidth = 0);

    // The pointer route: `changed` once, as awaitChange, when the pointer moved or took another
    // shape after pointer sequence `since`. Throws AppError "This desktop does not tell where the
    // pointer is." where the source cannot (the route answers 501).
    void awaitPointer(std::uint64_t since, std::function<void()> changed);
    // {"sequence":N,"x":X,"y":Y,"visible":true|false,"serial":S,"width":W,"height":H}: the hot spot
    // in the first display's pixels (W×H), visible when the pointer is on it; sequence 0 while the
    // source has not told it yet. Throws AppError "No display is available.".
    std::string pointer();
    // A JSON head line {"serial":S,"width":W,"height":H,"hotX":X,"hotY":Y}, then the pointer's
    // shape now as an RGBA PNG at the desktop's pixels; throws AppError "The pointer's shape is not
    // available." where the platform cannot tell it.
    std::string pointerShape();

private:
    // `screen` (the desktop's own pixels as last seen) brought up to date by grabbing only the
    // changed areas; nothing when the source has no area grabber or a grab failed.
    std::optional<Image> grabChanges(const std::vector<ChangeRect>& changes,
                                     const CaptureDisplay& display, Image screen, bool cursor);

    // The video part of an answer to `since` with this frame: the region (frame pixels) that goes
    // as `chunk` instead of tiles, or nothing (always after `stop`: a whole frame, or a still
    // screen that ends the video). A region that ends is marked changed in `changes` and spoiled in
    // `before`, so that tiles restore it exactly.
    std::optional<TileRect> streamVideo(std::uint64_t since, bool stop, const Image& frame,
                                        Image* before, const CaptureDisplay& display,
                                        std::vector<ChangeRect>& changes, int bitrate,
                                        int viewWidth, std::int64_t millis, VideoChunk& chunk);

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
        bool cursor = true;          // the cursor is drawn in
    };
    std::mutex grabMutex_;
    std::unique_ptr<AreaGrabber> grabber_; // guarded by grabMutex_
    bool noGrabber_ = false;               // guarded by grabMutex_: the source has none
    std::mutex shownMutex_;
    std::optional<Shown> shown_; // guarded by shownMutex_
    std::uint64_t answers_ = 0;  // guarded by shownMutex_
    // The video stream of the viewer that asks for one (one at a time, as for Shown).
    struct VideoStream {
        MovingRegion moving;
        std::unique_ptr<VideoEncoder> encoder;
        std::optional<TileRect> region; // what the viewer's picture shows as video now
        std::uint64_t sequence = 0;     // the answer its decoder is at
        // A moving region is tried both ways before it is kept as video: as video for some
        // frames, then as tiles for as many updates; the cheaper on the wire wins.
        struct Trial {
            TileRect region;
            std::size_t videoBytes = 0; // its frames after the first IDR
            int videoFrames = 0;
            std::size_t tileBytes = 0; // after the tiles that restored it
            int tileUpdates = 0;
            bool decided = false; // video won
        };
        std::optional<Trial> trial;
    };
    std::mutex videoMutex_;
    VideoStream video_; // guarded by videoMutex_
};

} // namespace zel
