#include "capture/palette_png.hpp"

#include "base/c_handle.hpp"
#include "capture/screenshot_encoding.hpp"

#include <array>
#include <spng.h>

namespace zel {
namespace {

// Past this many pixels a tile's PNG is compressed at zlib's default rather than its smallest. Its
// fastest misses the matches a row above offers (blocks of colour, a terminal's moving colours):
// nearly three times the bytes, for about the same time.
constexpr long long kSmallTilePixels = 64LL * 1024;

} // namespace

std::optional<std::vector<std::uint8_t>> encodePalettePng(ConstPixelView pixels) {
    if (pixels.width < 1 || pixels.height < 1) {
        return std::nullopt;
    }
    // Colours to palette indices: open addressing, four slots per possible colour.
    constexpr std::size_t kSlots = 1024;
    std::array<std::uint32_t, kSlots> keys{};
    std::array<std::int16_t, kSlots> slots{};
    slots.fill(-1);
    spng_plte palette{};
    std::vector<std::uint8_t> indices(static_cast<std::size_t>(pixels.width) * pixels.height);
    std::uint32_t last = 0;
    int lastIndex = -1;
    for (int y = 0; y < pixels.height; ++y) {
        const std::uint8_t* in = pixels.data + y * pixels.stride;
        std::uint8_t* out = indices.data() + static_cast<std::size_t>(y) * pixels.width;
        for (int x = 0; x < pixels.width; ++x, in += 4) {
            const std::uint32_t colour = in[0] | (in[1] << 8U) | (in[2] << 16U);
            if (colour != last || lastIndex < 0) {
                std::size_t slot = (colour * 2654435761U) >> 22U;
                while (slots[slot] >= 0 && keys[slot] != colour) {
                    slot = (slot + 1) % kSlots;
                }
                if (slots[slot] < 0) {
                    if (palette.n_entries == 256) {
                        return std::nullopt;
                    }
                    keys[slot] = colour;
                    slots[slot] = static_cast<std::int16_t>(palette.n_entries);
                    palette.entries[palette.n_entries++] = {in[2], in[1], in[0], 255};
                }
                last = colour;
                lastIndex = slots[slot];
            }
            out[x] = static_cast<std::uint8_t>(lastIndex);
        }
    }
    // Fewer bits per index where the palette allows: less for zlib to go through.
    const std::uint8_t depth = palette.n_entries <= 2    ? 1
                               : palette.n_entries <= 4  ? 2
                               : palette.n_entries <= 16 ? 4
                                                         : 8;
    const std::size_t rowBytes = (static_cast<std::size_t>(pixels.width) * depth + 7) / 8;
    std::vector<std::uint8_t> packed(rowBytes * pixels.height, 0);
    for (int y = 0; y < pixels.height; ++y) {
        const std::uint8_t* in = indices.data() + static_cast<std::size_t>(y) * pixels.width;
        std::uint8_t* out = packed.data() + rowBytes * y;
        for (int x = 0; x < pixels.width; ++x) {
            const std::size_t bit = static_cast<std::size_t>(x) * depth;
            out[bit / 8] |= static_cast<std::uint8_t>(in[x] << (8 - depth - bit % 8));
        }
    }
    const CHandle<spng_ctx, spng_ctx_free> context(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!context) {
        return std::nullopt;
    }
    spng_ctx* ctx = context.get();
    spng_ihdr header{};
    header.width = static_cast<std::uint32_t>(pixels.width);
    header.height = static_cast<std::uint32_t>(pixels.height);
    header.bit_depth = depth;
    header.color_type = SPNG_COLOR_TYPE_INDEXED;
    const bool small = static_cast<long long>(pixels.width) * pixels.height <= kSmallTilePixels;
    if (spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1) != 0 ||
        spng_set_option(ctx, SPNG_IMG_COMPRESSION_LEVEL, small ? 9 : 6) != 0 ||
        spng_set_option(ctx, SPNG_FILTER_CHOICE, SPNG_FILTER_CHOICE_NONE) != 0 ||
        spng_set_ihdr(ctx, &header) != 0 || spng_set_plte(ctx, &palette) != 0 ||
        spng_encode_image(ctx, packed.data(), packed.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) !=
            0) {
        return std::nullopt;
    }
    return Screenshot::encodedPng(ctx);
}

} // namespace zel
