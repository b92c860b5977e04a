// The last two steps of a screenshot: the downscale to the wanted width and the PNG or JPEG file.
#pragma once

#include "capture/image.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

struct spng_ctx;

namespace zel::Screenshot {

// The image scaled down to targetWidth (aspect kept), the same image when it is not wider than
// targetWidth or targetWidth is below 1, nothing when the scaled surface cannot be made.
std::optional<Image> resizedImage(const Image& image, int targetWidth);

// The pixels of `area` (image pixels), clipped to the image; nothing when nothing of it lies
// inside.
std::optional<Image> croppedImage(const Image& image, int x, int y, int width, int height);

// A complete PNG file for exactly "png", otherwise a baseline JPEG at quality clamped to 1..100;
// nothing when the encoder cannot be made or cannot finish.
std::optional<std::vector<std::uint8_t>> encode(const Image& image, std::string_view format,
                                                int quality);

// A baseline JPEG (4:2:0) of the pixels at quality clamped to 1..100, so that a part of a frame
// encodes in place; nothing when the encoder cannot be made or cannot finish.
std::optional<std::vector<std::uint8_t>> encodeJpeg(ConstPixelView pixels, int quality);

// The file an encoder context finished (after SPNG_ENCODE_FINALIZE or the last row); nothing when
// it holds none.
std::optional<std::vector<std::uint8_t>> encodedPng(spng_ctx* ctx);

} // namespace zel::Screenshot
