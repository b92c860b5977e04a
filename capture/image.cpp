// Allocation of screen images.
#include "capture/image.hpp"

#include <stdexcept>
#include <string>

namespace zel {

Image::Image(int width, int height) : width_(width), height_(height) {
    if (width < 1 || height < 1) {
        throw std::invalid_argument("Image size " + std::to_string(width) + "x" +
                                    std::to_string(height) + " is empty.");
    }
    // Every pixel is written by the producer, so zeroing megabytes per frame would be waste.
    pixels_ =
        std::make_shared_for_overwrite<std::uint8_t[]>(stride() * static_cast<std::size_t>(height));
}

} // namespace zel
