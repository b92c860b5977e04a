// The copy and tile encoder on synthetic terminals: applying an answer to the viewer's old picture
// (copies, then tiles) gives the new frame, and a scroll costs about a line, not the area. The
// answers over a fake desktop: whole only when they must be, nothing for a still screen or pixels
// the viewer has, the changed areas grabbed where the source can.
#include "capture/change_tiles.hpp"
#include "capture/image_scaling.hpp"
#include "capture/screenshot_encoding.hpp"
#include "tests/support/command.hpp"
#include "tests/support/fakes/fake_change_source.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <random>
#include <spng.h>
#include <tuple>
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

// An RGBA decoding of a PNG tile.
std::vector<std::uint8_t> decodePng(const std::vector<std::uint8_t>& file) {
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, file.data(), file.size());
    std::size_t size = 0;
    std::vector<std::uint8_t> rgba;
    if (spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &size) == 0) {
        rgba.resize(size);
        if (spng_decode_image(ctx, rgba.data(), size, SPNG_FMT_RGBA8, 0) != 0) {
            rgba.clear();
        }
    }
    spng_ctx_free(ctx);
    return rgba;
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
    const std::vector<std::uint8_t> rgba = decodePng(file);
    ASSERT_EQ(rgba.size(), static_cast<std::size_t>(tile.width) * tile.height * 4);
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

using Answer = zel::test::TilesAnswer;

Answer ask(zel::ChangeTiles& tiles, std::uint64_t since, int width, bool copies) {
    return zel::test::readTilesAnswer(tiles.tiles(since, width, 80, copies));
}

// The ways an answer is made: a scaled whole capture (JPEG), and at the desktop's own pixels
// (copies and PNG) from a whole capture or from grabbed areas.
struct Path {
    const char* name;
    int width;
    bool copies;
    bool grabber;
};
constexpr Path kPaths[] = {{"scaled", kWidth / 2, false, false},
                           {"own pixels, captured", 2560, true, false},
                           {"own pixels, grabbed", 2560, true, true}};
constexpr std::uint32_t kBackground = 0x202020;

// Each tile is the smaller of palette PNG and JPEG: text at the desktop's own pixels stays lossless
// at any quality, while busy pixels go as JPEG even when they have few colours.
TEST(EncodeTile, TheSmallerOfPalettePngAndJpeg) {
    const auto fill = [](int width, int height, const std::function<std::uint32_t(int, int)>& bgr) {
        Image image(width, height);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const std::uint32_t c = bgr(x, y) | 0xff000000U;
                std::memcpy(image.data() + y * image.stride() + static_cast<std::size_t>(x) * 4, &c,
                            4);
            }
        }
        return image;
    };
    std::mt19937 random(7);
    const Image text = [&] {
        Image image = blank();
        for (int n = 0; n < 8; ++n) {
            drawLine(image, n, kTerminal.y + n * kLine);
        }
        return image;
    }();
    const zel::ConstPixelView textTile{text.data() + kTerminal.y * text.stride() +
                                           static_cast<std::size_t>(kTerminal.x) * 4,
                                       256, 96, text.stride()};
    // The same text as a frame 0.6 of the desktop's width shows it: its blended edges take hundreds
    // of colours, and JPEG makes less of them than a palette.
    Image scaledText(154, 58);
    ASSERT_TRUE(zel::scaleInto(textTile, scaledText.view()));
    // Moving colour in a terminal: cells of 216 colours over more than a small tile's pixels, each
    // row of pixels the one above it within a cell.
    const Image cells = fill(798, 598, [](int x, int y) {
        const auto level = [](double v) { return static_cast<std::uint32_t>(2.5 + 2.5 * v) * 51; };
        const int column = x / 6;
        const int row = y / 13;
        return level(std::sin(column / 9.0)) | (level(std::sin(row / 5.0)) << 8U) |
               (level(std::sin((column + row) / 13.0)) << 16U);
    });
    const Image flat = fill(256, 64, [](int, int) { return 0x303040U; });
    const Image noise = fill(128, 64, [&](int, int) {
        const auto v = static_cast<std::uint32_t>(random() % 200);
        return v | (v << 8U) | (v << 16U);
    });
    const Image photo = fill(128, 64, [&](int x, int y) {
        return static_cast<std::uint32_t>(x * 2 + (y << 9U) + ((x + y) << 17U) +
                                          (random() & 0x0f0f0fU));
    });
    const std::tuple<const char*, zel::ConstPixelView, int, bool, bool> kCases[] = {
        // name, pixels, quality, palette allowed, PNG expected
        {"text at 60", textTile, 60, true, true},
        {"text at 25", textTile, 25, true, true},
        {"text scaled, at 25", std::as_const(scaledText).view(), 25, true, false},
        {"flat", std::as_const(flat).view(), 25, true, true},
        {"colour cells at 70", std::as_const(cells).view(), 70, true, true},
        {"text for a viewer without PNG", textTile, 60, false, false},
        {"noise of 200 greys at 25", std::as_const(noise).view(), 25, true, false},
        {"photo", std::as_const(photo).view(), 70, true, false},
    };
    for (const auto& [name, pixels, quality, palette, png] : kCases) {
        SCOPED_TRACE(name);
        const auto file = zel::encodeTile(pixels, quality, palette);
        ASSERT_TRUE(file);
        EXPECT_EQ(file->at(0) == 0x89, png);
        const auto jpeg = zel::Screenshot::encodeJpeg(pixels, quality);
        ASSERT_TRUE(jpeg);
        EXPECT_LE(file->size(), jpeg->size());
        if (png) {
            EXPECT_LT(file->size() * 3, jpeg->size()) << "as JPEG it costs several times more";
        }
    }
}

TEST(ChangeTiles, AnAnswerIsWholeOnlyWhenItMustBe) {
    enum class Step { still, small, sameColour, underHalf, overHalf, sinceZero, unknown, resized };
    struct Case {
        const char* fault;
        Step step;
        bool full;
        std::size_t tiles; // 2: some, not the whole frame
    };
    const Case cases[] = {
        {"a still screen is captured or sent something", Step::still, false, 0},
        {"a small drawing is lost or sent whole", Step::small, false, 2},
        {"drawing that left the pixels as they were is sent again", Step::sameColour, false, 0},
        {"a change under half the frame is sent whole", Step::underHalf, false, 2},
        {"a change over half the frame comes in pieces", Step::overHalf, true, 1},
        {"since 0 (a viewer with no picture) gets only tiles", Step::sinceZero, true, 1},
        {"an unknown sequence gets only tiles", Step::unknown, true, 1},
        {"a sequence from before a resize gets tiles of the old size", Step::resized, true, 1},
    };
    const ChangeRect small{100, 100, 40, 20};
    for (const Path& path : kPaths) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(path.name) + ": " + c.fault);
            zel::test::FakeDesktop desktop(kWidth, kHeight, {.grabber = path.grabber});
            zel::ChangeTiles tiles(desktop.capture, desktop.source);
            tiles.awaitChange(0, [] {});
            const std::uint64_t last = ask(tiles, 0, path.width, path.copies).sequence();
            std::uint64_t since = last;
            switch (c.step) {
            case Step::still:
                break;
            case Step::small:
                desktop.draw(small, 0xff0000);
                break;
            case Step::sameColour:
                desktop.draw(small, kBackground);
                break;
            case Step::underHalf:
                desktop.draw({0, 0, kWidth, 128}, 0xff0000);
                break;
            case Step::overHalf:
                desktop.draw({0, 0, kWidth, 200}, 0xff0000);
                break;
            case Step::sinceZero:
                desktop.draw(small, 0xff0000), since = 0;
                break;
            case Step::unknown:
                desktop.draw(small, 0xff0000), since = last + 50;
                break;
            case Step::resized:
                desktop.resize(800, 450, 0xff0000);
                break;
            }
            const int captures = desktop.capture->captures;
            const Answer answer = ask(tiles, since, path.width, path.copies);
            EXPECT_EQ(answer.sequence(), last + (c.step == Step::still ? 0 : 1));
            EXPECT_EQ(answer.full(), c.full) << answer.head.dump();
            const auto& listed = answer.head["tiles"];
            if (c.tiles == 2) {
                EXPECT_GE(listed.size(), 1U) << answer.head.dump();
            } else {
                EXPECT_EQ(listed.size(), c.tiles) << answer.head.dump();
            }
            if (c.step == Step::still) {
                EXPECT_EQ(desktop.capture->captures, captures);
                continue;
            }
            const int width = answer.head["width"], height = answer.head["height"];
            EXPECT_EQ(width, std::min(path.width, c.step == Step::resized ? 800 : kWidth));
            long long area = 0;
            for (const auto& t : listed) {
                area += t[2].get<long long>() * t[3].get<long long>();
            }
            if (c.full) {
                EXPECT_EQ(listed[0], nlohmann::json::array({0, 0, width, height, listed[0][4]}));
            } else {
                EXPECT_LE(area, static_cast<long long>(width) * height / 2);
            }
        }
    }
}

TEST(ChangeTiles, UnchangedPixelsAreLeftOutOnlyForTheViewerFollowed) {
    // Both viewers had the first frame. Drawing leaves one area as it was; whoever asks first is
    // followed (nothing to send), the other gets the area as it is, not a picture it never had.
    const ChangeRect area{200, 40, 64, 32};
    for (const Path& path : kPaths) {
        SCOPED_TRACE(path.name);
        zel::test::FakeDesktop desktop(kWidth, kHeight, {.grabber = path.grabber});
        zel::ChangeTiles tiles(desktop.capture, desktop.source);
        tiles.awaitChange(0, [] {});
        const std::uint64_t first = ask(tiles, 0, path.width, path.copies).sequence();
        desktop.draw(area, kBackground);
        EXPECT_EQ(ask(tiles, first, path.width, path.copies).head["tiles"].size(), 0U)
            << "the followed viewer was sent what it has";
        const Answer other = ask(tiles, first, path.width, path.copies);
        EXPECT_FALSE(other.full());
        EXPECT_GE(other.head["tiles"].size(), 1U) << "the second viewer missed the drawn area";
    }
}

TEST(ChangeTiles, AtOwnPixelsTheChangedAreasAreGrabbedAndAFailedGrabCaptures) {
    struct Case {
        const char* fault;
        zel::test::FakeChangeSource::Script script;
        int captures;
        bool grabbed;
    };
    const Case cases[] = {
        {"a source with a grabber still has whole frames captured", {.grabber = true}, 0, true},
        {"a source without one gets no whole capture", {.grabber = false}, 1, false},
        {"a failed grab is passed on instead of a whole capture",
         {.grabber = true, .grabsFail = true},
         1,
         true},
    };
    const ChangeRect drawn{300, 200, 50, 30}; // off the 16-pixel grid
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        zel::test::FakeDesktop desktop(kWidth, kHeight, c.script);
        zel::ChangeTiles tiles(desktop.capture, desktop.source);
        tiles.awaitChange(0, [] {});
        const std::uint64_t first = ask(tiles, 0, 2560, true).sequence();
        desktop.draw(drawn, 0x3366cc);
        const int captures = desktop.capture->captures;
        const Answer answer = ask(tiles, first, 2560, true);
        EXPECT_EQ(desktop.capture->captures - captures, c.captures);
        EXPECT_EQ(desktop.source->grabs > 0, c.grabbed);
        ASSERT_EQ(answer.head["tiles"].size(), answer.files.size());
        bool covered = false;
        for (std::size_t i = 0; i < answer.files.size(); ++i) {
            const auto& t = answer.head["tiles"][i];
            const int x0 = t[0], y0 = t[1], w = t[2], h = t[3];
            const std::vector<std::uint8_t> rgba = decodePng(answer.files[i]);
            ASSERT_EQ(rgba.size(), static_cast<std::size_t>(w) * h * 4) << "not a PNG of the tile";
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    const std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * w + x) * 4];
                    ASSERT_EQ(static_cast<std::uint32_t>(p[0] << 16U | p[1] << 8U | p[2]),
                              desktop.screen->at(x0 + x, y0 + y))
                        << "the tile's pixel " << x0 + x << "," << y0 + y << " is not the screen's";
                }
            }
            covered =
                covered || (x0 <= drawn.x && y0 <= drawn.y && x0 + w >= drawn.x + drawn.width &&
                            y0 + h >= drawn.y + drawn.height);
        }
        EXPECT_TRUE(covered) << answer.head.dump();
    }
}

} // namespace

namespace {

// A source that cannot tell the pointer (Wayland): the pointer route says so, and a viewer asking
// to draw the pointer itself is still served.
TEST(ChangeTiles, WithoutAPointerFromTheSourceThePointerRouteRefuses) {
    zel::test::FakeDesktop desktop(kWidth, kHeight, {});
    zel::ChangeTiles tiles(desktop.capture, desktop.source);
    EXPECT_EQ(zel::test::errorText([&] { tiles.awaitPointer(0, [] {}); }),
              "This desktop does not tell where the pointer is.");
    tiles.awaitChange(
        0, [] {}, true);
    const auto body = tiles.tiles(0, kWidth, 80, true, true);
    const std::string head(body.begin(), std::find(body.begin(), body.end(), '\n'));
    EXPECT_NE(head.find("\"full\":true"), std::string::npos) << head;
}

} // namespace
