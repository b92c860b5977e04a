// The platform interface of change tracking: which parts of the desktop were drawn, as the
// platform learns it (the Damage extension on X11; on wlroots Wayland the damage that screencopy
// reports with each copied frame).
#pragma once

#include "capture/image.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace zel {

// In desktop coordinates, as CaptureDisplay's origin.
struct ChangeRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool operator==(const ChangeRect&) const = default;
};

// The pointer as the source watches it: the hot spot in desktop coordinates, and the serial of its
// shape (a new shape, a new serial).
struct PointerState {
    int x = 0;
    int y = 0;
    bool onScreen = false;
    std::uint64_t serial = 0;

    bool operator==(const PointerState&) const = default;
};

// The pointer's shape: premultiplied ARGB words, row by row, and the hot spot inside it.
struct CursorImage {
    int width = 0;
    int height = 0;
    int hotX = 0;
    int hotY = 0;
    std::uint64_t serial = 0;
    std::vector<std::uint32_t> argb;
};

struct ChangeReport {
    std::vector<ChangeRect> rects;
    // The source cannot say what changed: it has just started, the screen was resized, or it lost
    // track. Everything counts as changed.
    bool everything = false;
    // The watch has ended with this report (its connection broke); no report follows.
    bool ended = false;
    // Areas only the cursor changed (it moved or took another shape): frames with the cursor
    // blended in differ there, frames without it do not.
    std::vector<ChangeRect> cursorRects{};
    // The pointer moved or took another shape (the first report has it when the source knows it).
    std::optional<PointerState> pointer{};
};

// Watching lasts as long as this object; its destructor waits for the watch's thread.
class ChangeWatch {
public:
    ChangeWatch() = default;
    ChangeWatch(const ChangeWatch&) = delete;
    ChangeWatch& operator=(const ChangeWatch&) = delete;
    virtual ~ChangeWatch() = default;
};

// Grabs areas of the desktop at its own resolution, with or without the cursor drawn in: an
// update that needs only what changed reads only that. One thread at a time.
class AreaGrabber {
public:
    AreaGrabber() = default;
    AreaGrabber(const AreaGrabber&) = delete;
    AreaGrabber& operator=(const AreaGrabber&) = delete;
    virtual ~AreaGrabber() = default;

    // The pixels of `area` (desktop coordinates, inside the desktop) as BGRA into `into`, which is
    // the area's size, the cursor blended in when `cursor`. Throws the platform's error.
    virtual void grab(const ChangeRect& area, PixelView into, bool cursor) = 0;
};

class ChangeSource {
public:
    ChangeSource() = default;
    ChangeSource(const ChangeSource&) = delete;
    ChangeSource& operator=(const ChangeSource&) = delete;
    virtual ~ChangeSource() = default;

    // Starts watching the whole desktop. The first report says everything; then `changed` is
    // called on the watch's own thread for each batch of changes, never after the watch is gone.
    // Throws the platform's error when it cannot watch.
    virtual std::unique_ptr<ChangeWatch>
    watch(std::function<void(const ChangeReport&)> changed) = 0;

    // A grabber of areas, or null where the platform has none (whole frames are captured then).
    // Throws the platform's error when it cannot make one.
    virtual std::unique_ptr<AreaGrabber> areaGrabber() { return nullptr; }

    // Whether its reports tell the pointer (and frames can leave the cursor out for a viewer that
    // draws it): where not, the cursor stays in the frames.
    [[nodiscard]] virtual bool tellsPointer() const { return false; }
    // Whether each report is one whole frame of the compositor's, so that a viewer may be shown
    // every one without tearing. X's damage comes per drawing request: a frame there is half drawn.
    [[nodiscard]] virtual bool reportsFrames() const { return false; }
    // The pointer's shape now, or nothing where the platform cannot tell it. Throws the platform's
    // error.
    virtual std::optional<CursorImage> cursorImage() { return std::nullopt; }
};

} // namespace zel
