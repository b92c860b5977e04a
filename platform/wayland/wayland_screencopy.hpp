// What the capture streams, the change watch and the area grabber share of wlr-screencopy: a buffer
// in memory shared with the compositor, the state of one copy request as its events tell it, and
// the walk that reads a copy upright in BGRA order.
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

// Whether a copy of `format` has red and blue the other way round from BGRA; nothing for a format
// that is not 32-bit RGB.
std::optional<bool> swapsRedBlue(std::uint32_t format);

// A walk over the compositor's buffer in the layout's orientation: where the layout's first
// pixel lies, and the byte steps to the next pixel of a row and to the next row. Screencopy hands
// over the output's own pixels, so a turned or mirrored output (wl_output.transform) and a
// bottom-up buffer are undone here.
struct Walk {
    const std::uint8_t* origin = nullptr;
    std::ptrdiff_t column = 0;
    std::ptrdiff_t row = 0;
    int width = 0;
    int height = 0;

    [[nodiscard]] const std::uint8_t* at(int x, int y) const {
        return origin + y * row + x * column;
    }
};
Walk walk(ConstPixelView buffer, int transform, bool yInverted);

// `count` pixels along a row of the walk from `from`, into BGRA order at `to`.
void copyPixels(const Walk& walk, const std::uint8_t* from, int count, bool swapRedBlue,
                std::uint8_t* to);

} // namespace zel::wayland
