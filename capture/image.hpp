// A screen image: 32-bit BGRA pixels (alpha last in memory, opaque for screen content) in rows
// of stride() bytes. Copies share the pixels, so an image can be handed on without a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace zel {

// Pixels owned by someone else (a shared-memory segment, an X reply), read or written in place.
struct PixelView {
    std::uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    std::size_t stride = 0;
};

struct ConstPixelView {
    const std::uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    std::size_t stride = 0;
};

class Image {
public:
    // Uninitialised pixels, rows packed (stride = 4 × width). Throws std::invalid_argument for a
    // size below 1 × 1 and std::bad_alloc when the memory is not there.
    Image(int width, int height);

    [[nodiscard]] int width() const { return width_; }
    [[nodiscard]] int height() const { return height_; }
    [[nodiscard]] std::size_t stride() const { return static_cast<std::size_t>(width_) * 4; }
    [[nodiscard]] const std::uint8_t* data() const { return pixels_.get(); }
    // Writing is meant for the one who made the image, before it is handed on.
    [[nodiscard]] std::uint8_t* data() { return pixels_.get(); }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const {
        return {pixels_.get(), stride() * static_cast<std::size_t>(height_)};
    }
    [[nodiscard]] PixelView view() { return {pixels_.get(), width_, height_, stride()}; }
    [[nodiscard]] ConstPixelView view() const { return {pixels_.get(), width_, height_, stride()}; }
    // True when both share one pixel buffer (no scaling or copy happened between them).
    [[nodiscard]] bool sharesPixelsWith(const Image& other) const {
        return pixels_ == other.pixels_;
    }

private:
    int width_;
    int height_;
    std::shared_ptr<std::uint8_t[]> pixels_;
};

} // namespace zel
