// What the capture streams and the change watch share of wlr-screencopy: a buffer in memory
// shared with the compositor, and the state of one copy request as its events tell it.
#pragma once

#include "capture/image.hpp"
#include "platform/wayland/wayland_connection.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

struct zwlr_screencopy_frame_v1_listener;

namespace zel::wayland {

// A wl_buffer over memory shared with the compositor, kept from frame to frame.
class SharedBuffer {
public:
    // Throws std::runtime_error when the memory cannot be had.
    SharedBuffer(wl_shm* shm, std::uint32_t format, int width, int height, int stride);
    SharedBuffer(const SharedBuffer&) = delete;
    SharedBuffer& operator=(const SharedBuffer&) = delete;
    ~SharedBuffer() { release(); }

    [[nodiscard]] bool fits(std::uint32_t format, int width, int height, int stride) const {
        return format == format_ && width == width_ && height == height_ && stride == stride_;
    }
    [[nodiscard]] wl_buffer* buffer() const { return buffer_.get(); }
    [[nodiscard]] ConstPixelView view() const {
        return {data_, width_, height_, static_cast<std::size_t>(stride_)};
    }

private:
    void release();

    std::uint32_t format_;
    int width_;
    int height_;
    int stride_;
    std::size_t size_;
    int fd_ = -1;
    std::uint8_t* data_ = nullptr;
    Proxy<wl_shm_pool> pool_;
    Proxy<wl_buffer> buffer_;
};

// What the compositor told about one copy request.
struct CopyState {
    std::optional<std::uint32_t> format;
    int width = 0;
    int height = 0;
    int stride = 0;
    bool bufferDone = false;
    bool yInverted = false;
    bool ready = false;
    bool failed = false;
    // Of a copy with damage: what changed since this client's last copy, in buffer pixels.
    std::vector<Rect> damage;
};

// Fills the CopyState given as the listener's data.
extern const zwlr_screencopy_frame_v1_listener kFrameListener;

} // namespace zel::wayland
