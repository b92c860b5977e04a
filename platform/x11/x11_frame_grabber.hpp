// Grabs one area of the X root window with the cursor drawn in: through a MIT-SHM segment of its
// own, or a plain GetImage where the server cannot share memory with us (a remote display).
#pragma once

#include "capture/image.hpp"
#include "platform/x11/x11_connection.hpp"

#include <chrono>
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

// Keeps a few idle shared-memory segments for the next grabber. Fresh memory is the dearest part
// of a grab (every page faults in again: on a VM several milliseconds per megabyte), so a
// segment is lent to one grabber at a time and comes back when that grabber goes. Every grab
// overwrites the whole area, so nothing of one capture is visible to the next.
class SegmentPool {
public:
    explicit SegmentPool(std::size_t maxIdle = 2);
    SegmentPool(const SegmentPool&) = delete;
    SegmentPool& operator=(const SegmentPool&) = delete;
    ~SegmentPool();

    struct State;
    struct Return {
        std::shared_ptr<State> state;
        void operator()(SharedMemorySegment* segment) const noexcept;
    };
    using Lease = std::unique_ptr<SharedMemorySegment, Return>;

    // An idle segment of the connection at least size bytes large, or a new one; throws
    // std::runtime_error when the server cannot attach one.
    Lease take(const std::shared_ptr<Connection>& connection, std::size_t size);
    [[nodiscard]] std::size_t idleCount() const;

private:
    std::shared_ptr<State> state_;
};

class FrameGrabber {
public:
    // Sets up the segment (from the pool when one is given) or the fallback buffer for this one
    // grabber; throws std::runtime_error with a readable text when the server is gone or its
    // pixels are not TrueColor in a layout pixman reads.
    FrameGrabber(std::shared_ptr<Connection> connection, Area area, bool drawsCursor,
                 SegmentPool* pool = nullptr);
    FrameGrabber(const FrameGrabber&) = delete;
    FrameGrabber& operator=(const FrameGrabber&) = delete;
    ~FrameGrabber();

    // The area's pixels as BGRA with the cursor alpha-blended at its hot spot; valid until the
    // next grab. One round trip: the cursor is asked for while the image is being taken. Returns
    // or throws within the screenshot's time limit whatever the server does.
    PixelView grab();

private:
    std::uint32_t requestImage();
    using Deadline = std::chrono::steady_clock::time_point;
    void receiveImage(std::uint32_t sequence, Deadline deadline);
    void convert();
    void blendCursor(std::uint32_t sequence, Deadline deadline);
    std::uint32_t requestCursor();

    std::shared_ptr<Connection> connection_;
    Area area_;
    bool drawsCursor_;
    SegmentPool::Lease segment_;
    std::uint32_t serverFormat_ = 0; // the pixman format of the server's pixels
    std::size_t serverStride_ = 0;
    std::uint8_t* serverPixels_ = nullptr; // in the segment or the fallback
    std::vector<std::uint8_t> fallback_;   // the server's pixels when there is no segment
    std::vector<std::uint8_t> converted_;  // the frame when the server's pixels are not BGRX
    PixelView frame_;
};

} // namespace zel::x11
