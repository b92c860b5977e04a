#include "platform/wayland/wayland_screencopy.hpp"

#include "wlr-screencopy-unstable-v1-client-protocol.h"

#include <cstring>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace zel::wayland {

SharedBuffer::SharedBuffer(wl_shm* shm, std::uint32_t format, int width, int height, int stride)
    : format_(format), width_(width), height_(height), stride_(stride),
      size_(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height)) {
    fd_ = ::memfd_create("zel-screencopy", MFD_CLOEXEC);
    if (fd_ < 0 || ::ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
        release();
        throw std::runtime_error("No shared memory for the screen frame.");
    }
    void* data = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (data == MAP_FAILED) {
        release();
        throw std::runtime_error("No shared memory for the screen frame.");
    }
    data_ = static_cast<std::uint8_t*>(data);
    pool_.reset(wl_shm_create_pool(shm, fd_, static_cast<std::int32_t>(size_)));
    buffer_.reset(wl_shm_pool_create_buffer(pool_.get(), 0, width, height, stride, format));
}

void SharedBuffer::release() {
    // The compositor's view of the memory goes before ours.
    buffer_.reset();
    pool_.reset();
    if (data_ != nullptr) {
        ::munmap(data_, size_);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

namespace {

CopyState& state(void* data) {
    return *static_cast<CopyState*>(data);
}

} // namespace

const zwlr_screencopy_frame_v1_listener kFrameListener = {
    .buffer =
        [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width,
           std::uint32_t height, std::uint32_t stride) {
            state(data).format = format;
            state(data).width = static_cast<int>(width);
            state(data).height = static_cast<int>(height);
            state(data).stride = static_cast<int>(stride);
        },
    .flags =
        [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
            state(data).yInverted = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
        },
    .ready = [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                std::uint32_t) { state(data).ready = true; },
    .failed = [](void* data, zwlr_screencopy_frame_v1*) { state(data).failed = true; },
    .damage =
        [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t x, std::uint32_t y,
           std::uint32_t width, std::uint32_t height) {
            state(data).damage.push_back({static_cast<int>(x), static_cast<int>(y),
                                          static_cast<int>(width), static_cast<int>(height)});
        },
    .linux_dmabuf = [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                       std::uint32_t) {},
    .buffer_done = [](void* data, zwlr_screencopy_frame_v1*) { state(data).bufferDone = true; },
};

std::optional<bool> swapsRedBlue(std::uint32_t format) {
    switch (format) {
    case WL_SHM_FORMAT_ARGB8888:
    case WL_SHM_FORMAT_XRGB8888:
        return false; // little-endian: BGRA in memory
    case WL_SHM_FORMAT_ABGR8888:
    case WL_SHM_FORMAT_XBGR8888:
        return true;
    default:
        return std::nullopt;
    }
}

Walk walk(ConstPixelView buffer, int transform, bool yInverted) {
    constexpr std::ptrdiff_t kPixel = 4;
    const std::uint8_t* top = buffer.data;
    auto line = static_cast<std::ptrdiff_t>(buffer.stride);
    if (yInverted) {
        top += (buffer.height - 1) * line;
        line = -line;
    }
    const std::ptrdiff_t right = (buffer.width - 1) * kPixel;
    const std::ptrdiff_t bottom = (buffer.height - 1) * line;
    const int w = buffer.width;
    const int h = buffer.height;
    switch (transform) {
    case WL_OUTPUT_TRANSFORM_90:
        return {top + bottom, -line, kPixel, h, w};
    case WL_OUTPUT_TRANSFORM_180:
        return {top + right + bottom, -kPixel, -line, w, h};
    case WL_OUTPUT_TRANSFORM_270:
        return {top + right, line, -kPixel, h, w};
    case WL_OUTPUT_TRANSFORM_FLIPPED:
        return {top + right, -kPixel, line, w, h};
    case WL_OUTPUT_TRANSFORM_FLIPPED_90:
        return {top, line, kPixel, h, w};
    case WL_OUTPUT_TRANSFORM_FLIPPED_180:
        return {top + bottom, kPixel, -line, w, h};
    case WL_OUTPUT_TRANSFORM_FLIPPED_270:
        return {top + right + bottom, -line, -kPixel, h, w};
    default:
        return {top, kPixel, line, w, h};
    }
}

void copyPixels(const Walk& walk, const std::uint8_t* from, int count, bool swapRedBlue,
                std::uint8_t* to) {
    if (walk.column == 4 && !swapRedBlue) {
        std::memcpy(to, from, static_cast<std::size_t>(count) * 4);
        return;
    }
    for (int x = 0; x < count; ++x, from += walk.column, to += 4) {
        to[0] = from[swapRedBlue ? 2 : 0];
        to[1] = from[1];
        to[2] = from[swapRedBlue ? 0 : 2];
        to[3] = from[3];
    }
}

} // namespace zel::wayland
