// Grabs one area of the X root window with the cursor drawn in: through a MIT-SHM segment of its
// own, or a plain GetImage where the server cannot share memory with us (a remote display).
#pragma once

#include "capture/image.hpp"
#include "platform/x11/x11_connection.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace zel::x11 {

struct Area {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

class SharedMemorySegment;

class FrameGrabber {
public:
    // Sets up the segment (or the fallback buffer) for this one grabber; throws
    // std::runtime_error with a readable text when the server is gone or its pixels are not
    // 32-bit BGRX.
    FrameGrabber(std::shared_ptr<Connection> connection, Area area, bool drawsCursor);
    FrameGrabber(const FrameGrabber&) = delete;
    FrameGrabber& operator=(const FrameGrabber&) = delete;
    ~FrameGrabber();

    // The area's pixels with the cursor alpha-blended at its hot spot; valid until the next
    // grab. One round trip: the cursor is asked for while the image is being taken.
    PixelView grab();
    // The stages of grab() alone, for measurement.
    PixelView grabScreen();
    void drawCursor();

    [[nodiscard]] bool usesSharedMemory() const { return segment_ != nullptr; }

private:
    std::uint32_t requestImage();
    void receiveImage(std::uint32_t sequence);
    void blendCursor(std::uint32_t sequence);
    std::uint32_t requestCursor();

    std::shared_ptr<Connection> connection_;
    Area area_;
    bool drawsCursor_;
    std::unique_ptr<SharedMemorySegment> segment_;
    std::vector<std::uint8_t> fallback_; // the frame when there is no segment
    PixelView frame_;
};

} // namespace zel::x11
