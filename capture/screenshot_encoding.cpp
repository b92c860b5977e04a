// Downscaling and PNG (libspng) / baseline JPEG (libturbojpeg) encoding of screenshots.
#include "capture/screenshot_encoding.hpp"

#include "base/c_handle.hpp"
#include "capture/image_scaling.hpp"
#include "capture/screenshot.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <spng.h>
#include <turbojpeg.h>

namespace zel::Screenshot {
namespace {

// zlib level 1 with the Up filter alone: on screens (flat areas, text) it costs half the time of
// level 3 with adaptive filters for about a tenth more bytes, and PNG is the slow format here.
constexpr int kPngCompressionLevel = 1;
constexpr int kPngFilters = SPNG_FILTER_CHOICE_UP;

std::optional<std::vector<std::uint8_t>> encodePng(const Image& image) {
    const CHandle<spng_ctx, spng_ctx_free> context(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!context) {
        return std::nullopt;
    }
    spng_ctx* ctx = context.get();
    spng_ihdr header{};
    header.width = static_cast<std::uint32_t>(image.width());
    header.height = static_cast<std::uint32_t>(image.height());
    header.bit_depth = 8;
    header.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
    if (spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1) != 0 ||
        spng_set_option(ctx, SPNG_IMG_COMPRESSION_LEVEL, kPngCompressionLevel) != 0 ||
        spng_set_option(ctx, SPNG_FILTER_CHOICE, kPngFilters) != 0 ||
        spng_set_ihdr(ctx, &header) != 0 ||
        spng_encode_image(ctx, nullptr, 0, SPNG_FMT_PNG,
                          SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE) != 0) {
        return std::nullopt;
    }
    // Screen pixels are opaque: RGB rows, converted one at a time so no second image is made.
    std::vector<std::uint8_t> row(static_cast<std::size_t>(image.width()) * 3);
    int status = 0;
    for (int y = 0; y < image.height(); ++y) {
        const std::uint8_t* in = image.data() + image.stride() * static_cast<std::size_t>(y);
        std::uint8_t* out = row.data();
        for (int x = 0; x < image.width(); ++x, in += 4, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
        status = spng_encode_row(ctx, row.data(), row.size());
        if (status != 0 && status != SPNG_EOI) {
            return std::nullopt;
        }
    }
    if (status != SPNG_EOI) {
        return std::nullopt;
    }
    return encodedPng(ctx);
}

} // namespace

std::optional<std::vector<std::uint8_t>> encodeJpeg(ConstPixelView image, int quality) {
    const CHandle<void, tjDestroy> handle(tjInitCompress());
    if (!handle) {
        return std::nullopt;
    }
    unsigned char* buffer = nullptr;
    unsigned long size = 0; // NOLINT(google-runtime-int): the library's type
    // BGRX straight from the frame (no conversion copy); 4:2:0 as common photo encoders do;
    // no progressive flag, so the file is baseline (SOF0).
    const int status = tjCompress2(handle.get(), image.data, image.width,
                                   static_cast<int>(image.stride), image.height, TJPF_BGRX, &buffer,
                                   &size, TJSAMP_420, std::clamp(quality, 1, 100), 0);
    const CHandle<unsigned char, tjFree> owned(buffer);
    if (status != 0 || !owned || size == 0) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(owned.get(), owned.get() + size);
}

std::optional<Image> resizedImage(const Image& image, int targetWidth) {
    if (targetWidth < 1 || targetWidth >= image.width()) {
        return image;
    }
    try {
        Image scaled(targetWidth, resizedHeight(image.width(), image.height(), targetWidth));
        if (!scaleInto(image.view(), scaled.view())) {
            return std::nullopt;
        }
        return scaled;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<Image> croppedImage(const Image& image, int x, int y, int width, int height) {
    const int left = std::max(x, 0);
    const int top = std::max(y, 0);
    // In 64 bits: x + width may pass INT_MAX.
    const auto right =
        static_cast<int>(std::min<std::int64_t>(std::int64_t{x} + width, image.width()));
    const auto bottom =
        static_cast<int>(std::min<std::int64_t>(std::int64_t{y} + height, image.height()));
    if (right <= left || bottom <= top) {
        return std::nullopt;
    }
    Image crop(right - left, bottom - top);
    const auto rowBytes = static_cast<std::size_t>(crop.width()) * 4;
    for (int row = 0; row < crop.height(); ++row) {
        std::memcpy(crop.data() + crop.stride() * row,
                    image.data() + image.stride() * (top + row) +
                        static_cast<std::size_t>(left) * 4,
                    rowBytes);
    }
    return crop;
}

std::optional<std::vector<std::uint8_t>> encode(const Image& image, std::string_view format,
                                                int quality) {
    try {
        return format == "png" ? encodePng(image) : encodeJpeg(image.view(), quality);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<std::vector<std::uint8_t>> encodedPng(spng_ctx* ctx) {
    std::size_t length = 0;
    int error = 0;
    const CMemory<std::uint8_t> png(
        static_cast<std::uint8_t*>(spng_get_png_buffer(ctx, &length, &error)));
    if (!png || error != 0) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(png.get(), png.get() + length);
}

} // namespace zel::Screenshot
