// The copy and tile encoder on synthetic terminals: applying an answer to the viewer's old picture
// (copies, then tiles) gives the new frame, and a scroll costs about a line, not the area. The
// planner covers every changed cell in few tiles: the phone decodes each tile on its own.
#include "capture/change_tiles.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <spng.h>
#include <utility>

namespace {

using zel::ChangeRect;
using zel::Image;

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr int kLine = 13; // a text line's height, off the 16-pixel grid as real fonts are
const zel::CaptureDisplay kDisplay{"d", kWidth, kHeight};
const ChangeRect kTerminal{64, 40, 400, 260};

Image clone(const Image& image) {
    Image copy(image.width(), image.height());
    std::memcpy(copy.data(), image.data(), image.bytes().size());
    return copy;
}

Image blank() {
    Image image(kWidth, kHeight);
    for (std::size_t at = 0; at < image.bytes().size(); at += 4) {
        std::memcpy(image.data() + at, "\x20\x20\x20\xff", 4);
    }
    return image;
}

// Text line `n` of the terminal drawn at row y: glyph-like bits in two colours, unlike any other.
void drawLine(Image& image, int n, int y, bool colourful = false) {
    std::mt19937 random(static_cast<unsigned>(n) * 7919U + 1U);
    for (int row = std::max(y, kTerminal.y);
         row < std::min(y + kLine, kTerminal.y + kTerminal.height); ++row) {
        for (int x = kTerminal.x; x < kTerminal.x + kTerminal.width; ++x) {
            std::uint8_t* p = image.data() + row * image.stride() + static_cast<std::size_t>(x) * 4;
            const bool ink = x < kTerminal.x + 260 && (random() & 3U) == 0;
            const auto v = static_cast<std::uint8_t>(colourful ? random() : ink ? 0xe0 : 0x20);
            p[0] = v;
            p[1] = colourful ? static_cast<std::uint8_t>(random()) : v;
            p[2] = v;
            p[3] = 0xff;
        }
    }
}

// The terminal showing lines first.. from its top, shifted down by `offset` pixels.
Image terminal(int first, int offset = 0) {
    Image image = blank();
    for (int n = first - 2, y = kTerminal.y + offset - 2 * kLine;
         y < kTerminal.y + kTerminal.height; ++n, y += kLine) {
        drawLine(image, n, y);
    }
    return image;
}

void paste(Image& picture, const zel::TileRect& tile, const std::vector<std::uint8_t>& file,
           const Image& truth) {
    if (file.at(0) == 0xff) { // JPEG: lossy, so the frame's own pixels stand in for its decoding
        for (int y = tile.y; y < tile.y + tile.height; ++y) {
            std::memcpy(picture.data() + y * picture.stride() + tile.x * 4,
                        truth.data() + y * truth.stride() + tile.x * 4,
                        static_cast<std::size_t>(tile.width) * 4);
        }
        return;
    }
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, file.data(), file.size());
    std::size_t size = 0;
    ASSERT_EQ(spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &size), 0);
    std::vector<std::uint8_t> rgba(size);
    ASSERT_EQ(spng_decode_image(ctx, rgba.data(), size, SPNG_FMT_RGBA8, 0), 0);
    spng_ctx_free(ctx);
    ASSERT_EQ(size, static_cast<std::size_t>(tile.width) * tile.height * 4);
    for (int y = 0; y < tile.height; ++y) {
        for (int x = 0; x < tile.width; ++x) {
            const std::uint8_t* in = &rgba[(static_cast<std::size_t>(y) * tile.width + x) * 4];
            std::uint8_t* out = picture.data() + (tile.y + y) * picture.stride() + (tile.x + x) * 4;
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
            out[3] = 0xff;
        }
    }
}

TEST(EncodeTiles, AnswerAppliedToTheOldPictureGivesTheNewOne) {
    struct Case {
        const char* name;
        Image now;
        std::vector<ChangeRect> changes;
        bool scrolls;     // copies expected
        int mostTileRows; // the tiles' area at most this many rows of the terminal's width
        bool photoLine = false;
    };
    const Image old = terminal(10);
    Image oneLine = clone(old);
    drawLine(oneLine, 77, kTerminal.y + 3 * kLine);
    Image photo = terminal(11);
    drawLine(photo, 11 + 18, kTerminal.y + 18 * kLine, true);
    Image outside = clone(old);
    // The whole picture moved, but only a strip was reported: the rest must stay as it was.
    const Image shifted = terminal(10, -60);
    for (int y = kTerminal.y + 100; y < kTerminal.y + 140; ++y) {
        std::memcpy(outside.data() + y * outside.stride(), shifted.data() + y * shifted.stride(),
                    outside.stride());
    }
    Case cases[] = {
        {"up one line", terminal(11), {kTerminal}, true, 48},
        {"down 7 px", terminal(10, 7), {kTerminal}, true, 32},
        {"no scroll, one line", std::move(oneLine), {kTerminal}, false, 32},
        {"up and a colourful new line", std::move(photo), {kTerminal}, true, 48, true},
        {"shift outside the region", std::move(outside), {{64, 140, 400, 40}}, false, 48},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        Image viewer = clone(old);  // what the phone shows
        Image tracked = clone(old); // the encoder's idea of it
        const zel::EncodedTiles answer = zel::encodeTiles(
            c.changes, kDisplay, std::as_const(c.now).view(), &tracked, 60, true, false);
        EXPECT_EQ(!answer.copies.empty(), c.scrolls);
        EXPECT_FALSE(answer.whole);
        zel::applyCopies(viewer.view(), answer.copies);
        long long area = 0;
        bool jpeg = false;
        for (std::size_t i = 0; i < answer.tiles.size(); ++i) {
            paste(viewer, answer.tiles[i], answer.files[i], c.now);
            area += static_cast<long long>(answer.tiles[i].width) * answer.tiles[i].height;
            jpeg = jpeg || answer.files[i].at(0) == 0xff;
        }
        EXPECT_EQ(jpeg, c.photoLine) << "PNG for two colours, JPEG for many";
        EXPECT_LE(area, static_cast<long long>(c.mostTileRows) * (kTerminal.width + 32));
        EXPECT_EQ(std::memcmp(viewer.data(), c.now.data(), c.now.bytes().size()), 0)
            << "the phone's picture is not the new frame";
        EXPECT_EQ(std::memcmp(tracked.data(), c.now.data(), c.now.bytes().size()), 0)
            << "the encoder lost track of the phone's picture";
    }
}

TEST(PlanTiles, EveryChangedCellCoveredInFewTiles) {
    struct Case {
        const char* name;
        std::vector<ChangeRect> changes;
        std::function<bool(int, int)> unchanged;
        std::size_t mostTiles;
        long long mostArea;
    };
    const auto never = [](int, int) { return false; };
    Case cases[] = {
        // A moving picture leaves scattered cells as they were: dozens of ragged runs.
        {"video-like", {{96, 64, 208, 176}}, [](int c, int r) { return (c + r) % 13 == 0; }, 16, 0},
        // A clock in one corner and a typed line far away stay two small tiles, not their box.
        {"two far apart", {{8, 8, 60, 14}, {500, 320, 120, 14}}, never, 2, 2 * 128 * 32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto tiles = zel::planTiles(c.changes, kDisplay, kWidth, kHeight, c.unchanged);
        EXPECT_LE(tiles.size(), c.mostTiles) << "tiles";
        long long area = 0;
        for (const zel::TileRect& t : tiles) {
            area += static_cast<long long>(t.width) * t.height;
        }
        if (c.mostArea > 0) {
            EXPECT_LE(area, c.mostArea);
        }
        for (const ChangeRect& change : c.changes) {
            for (int y = change.y; y < change.y + change.height; ++y) {
                for (int x = change.x; x < change.x + change.width; ++x) {
                    if (c.unchanged(x / zel::kTileCell, y / zel::kTileCell)) {
                        continue;
                    }
                    const bool covered = std::ranges::any_of(tiles, [&](const zel::TileRect& t) {
                        return x >= t.x && x < t.x + t.width && y >= t.y && y < t.y + t.height;
                    });
                    ASSERT_TRUE(covered) << "changed pixel " << x << "," << y << " left out";
                }
            }
        }
    }
}

} // namespace
