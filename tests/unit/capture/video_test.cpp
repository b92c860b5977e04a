// Moving areas as video: the H.264 stream decodes back (openh264's own decoder) to what was
// encoded, the moving-region finder tells a video from typing, and the tiles route over a fake
// desktop sends a moving area as video beside its tiles and restores it exactly once it stops.
#include "capture/change_tiles.hpp"
#include "capture/moving_region.hpp"
#include "capture/video_encoder.hpp"
#include "tests/support/command.hpp"
#include "tests/support/fakes/fake_change_source.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>
#include <wels/codec_api.h>

namespace {

using zel::Image;
using zel::TileRect;

// The decoded frames of a stream, as luma planes.
class Decoder {
public:
    Decoder() {
        EXPECT_EQ(WelsCreateDecoder(&decoder_), 0);
        SDecodingParam params{};
        params.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_AVC;
        EXPECT_EQ(decoder_->Initialize(&params), 0);
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    ~Decoder() {
        decoder_->Uninitialize();
        WelsDestroyDecoder(decoder_);
    }
    struct Frame {
        int width = 0;
        int height = 0;
        std::vector<std::uint8_t> luma;
    };
    std::optional<Frame> decode(const std::vector<std::uint8_t>& chunk) {
        unsigned char* planes[3] = {};
        SBufferInfo info{};
        if (decoder_->DecodeFrameNoDelay(chunk.data(), static_cast<int>(chunk.size()), planes,
                                         &info) != dsErrorFree ||
            info.iBufferStatus != 1) {
            return std::nullopt;
        }
        Frame frame{info.UsrData.sSystemBuffer.iWidth, info.UsrData.sSystemBuffer.iHeight, {}};
        for (int y = 0; y < frame.height; ++y) {
            const unsigned char* row =
                planes[0] + static_cast<std::ptrdiff_t>(y) * info.UsrData.sSystemBuffer.iStride[0];
            frame.luma.insert(frame.luma.end(), row, row + frame.width);
        }
        return frame;
    }

private:
    ISVCDecoder* decoder_ = nullptr;
};

// BT.601 limited-range luma of a BGRA pixel, as the encoder's conversion makes it.
int lumaOf(const std::uint8_t* bgra) {
    return 16 + (66 * bgra[2] + 129 * bgra[1] + 25 * bgra[0] + 128) / 256;
}

// Frame `n` of a moving picture: diagonal waves that travel.
Image wavesFrame(int width, int height, int n) {
    Image image(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = image.data() + y * image.stride() + static_cast<std::size_t>(x) * 4;
            p[0] = static_cast<std::uint8_t>(128 + 100 * std::sin((x + y + 6 * n) / 11.0));
            p[1] = static_cast<std::uint8_t>(128 + 100 * std::sin((x - 2 * y - 4 * n) / 17.0));
            p[2] = static_cast<std::uint8_t>(128 + 100 * std::sin((3 * x + n) / 23.0));
            p[3] = 0xff;
        }
    }
    return image;
}

double meanLumaError(const Image& image, const Decoder::Frame& frame) {
    double sum = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            sum += std::abs(
                lumaOf(image.data() + y * image.stride() + static_cast<std::size_t>(x) * 4) -
                frame.luma[static_cast<std::size_t>(y) * frame.width + x]);
        }
    }
    return sum / (static_cast<double>(image.width()) * image.height());
}

// Every frame of a stream decodes, at its size and close to what went in; the first and an asked
// one are IDRs that start with their parameter sets; the rest are smaller than a keyframe.
TEST(VideoEncoder, FramesDecodeBackToWhatWasEncoded) {
    struct Case {
        int width;
        int height;
        int bitrate;
    };
    for (const Case& c :
         {Case{64, 48, 300'000}, Case{320, 240, 1'000'000}, Case{202, 130, 600'000}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const auto encoder = zel::makeH264Encoder(c.width, c.height, c.bitrate);
        Decoder decoder;
        std::size_t keyBytes = 0;
        std::size_t deltaBytes = 0;
        for (int n = 0; n < 12; ++n) {
            const Image frame = wavesFrame(c.width, c.height, n);
            const bool asked = n == 0 || n == 8;
            const zel::VideoChunk chunk = encoder->encode(std::as_const(frame).view(), asked,
                                                          c.bitrate, std::int64_t{n} * 33);
            ASSERT_FALSE(chunk.bytes.empty()) << "frame " << n << " skipped";
            EXPECT_EQ(chunk.key, asked) << "frame " << n;
            ASSERT_GE(chunk.bytes.size(), 5U);
            EXPECT_TRUE(std::equal(chunk.bytes.begin(), chunk.bytes.begin() + 4,
                                   std::vector<std::uint8_t>{0, 0, 0, 1}.begin()))
                << "not Annex B";
            if (asked) {
                EXPECT_EQ(chunk.bytes[4] & 0x1f, 7) << "an IDR without its SPS first";
                keyBytes += chunk.bytes.size();
            } else if (n > 1) {
                deltaBytes = std::max(deltaBytes, chunk.bytes.size());
            }
            const std::optional<Decoder::Frame> decoded = decoder.decode(chunk.bytes);
            ASSERT_TRUE(decoded) << "frame " << n << " does not decode";
            EXPECT_EQ(decoded->width, c.width);
            EXPECT_EQ(decoded->height, c.height);
            EXPECT_LT(meanLumaError(frame, *decoded), 6.0) << "frame " << n;
        }
        EXPECT_LT(deltaBytes, keyBytes / 2);
    }
}

TEST(VideoEncoder, RefusesSizesAndFramesItCannotTake) {
    EXPECT_EQ(zel::test::errorText([] { zel::makeH264Encoder(63, 48, 300'000); }),
              "A video area must have an even size up to 4096 × 2304.");
    EXPECT_EQ(zel::test::errorText([] { zel::makeH264Encoder(5000, 200, 300'000); }),
              "A video area must have an even size up to 4096 × 2304.");
    const auto encoder = zel::makeH264Encoder(64, 48, 300'000);
    const Image wrong = wavesFrame(32, 48, 0);
    EXPECT_EQ(
        zel::test::errorText([&] { encoder->encode(std::as_const(wrong).view(), true, 1, 0); }),
        "A video frame must have its stream's size.");
}

// The region follows what changes in nearly every update at the frame rate, and nothing else.
TEST(MovingRegion, FindsWhatChangesEveryFrameAndNothingElse) {
    const TileRect video{100, 70, 300, 200}; // its cells: 96..416 × 64..288
    const TileRect videoCells{96, 64, 320, 224};
    const TileRect line{40, 400, 600, 14};
    struct Step {
        std::vector<TileRect> changed;
        int gapMs;
        int times;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::optional<TileRect> expected;
    };
    // The steps of `cycle` over and over, `count` in all.
    const auto repeat = [](const std::vector<Step>& cycle, std::size_t count) {
        std::vector<Step> steps;
        for (std::size_t i = 0; i < count; ++i) {
            steps.push_back(cycle[i % cycle.size()]);
        }
        return steps;
    };
    const std::vector<Case> cases{
        {"a video at 30 frames a second", {{{video}, 33, 8}}, videoCells},
        {"not yet after six frames", {{{video}, 33, 6}}, std::nullopt},
        {"a line, as typing changes it", {{{line}, 50, 20}}, std::nullopt},
        {"the whole area, twice a second", {{{video}, 600, 20}}, std::nullopt},
        {"the whole area, eight times a second", {{{video}, 125, 20}}, std::nullopt},
        {"a window redrawn half in one update, half in the next",
         repeat({{{TileRect{100, 70, 300, 100}}, 20, 1}, {{TileRect{100, 170, 300, 100}}, 20, 1}},
                16),
         videoCells},
        {"rows redrawn in the next update join",
         repeat({{{video, TileRect{100, 270, 300, 100}}, 33, 1}, {{video}, 33, 1}}, 8),
         TileRect{96, 64, 320, 320}},
        {"every other frame", repeat({{{video}, 33, 1}, {{}, 33, 1}}, 9), std::nullopt},
        {"too small", {{{TileRect{200, 200, 60, 40}}, 33, 10}}, std::nullopt},
        {"two far corners",
         {{{TileRect{0, 0, 64, 64}, TileRect{960, 600, 64, 64}}, 33, 10}},
         std::nullopt},
        {"a video that stopped", {{{video}, 33, 10}, {{line}, 33, 3}}, std::nullopt},
        {"a pause in the video keeps it",
         {{{video}, 33, 10}, {{}, 33, 2}, {{video}, 33, 1}},
         videoCells},
        {"a video that moved",
         {{{video}, 33, 10}, {{TileRect{500, 300, 256, 160}}, 33, 8}},
         TileRect{480, 288, 288, 192}},
        {"clipped to the frame, even",
         {{{TileRect{900, 500, 123, 77}}, 33, 8}},
         TileRect{896, 480, 128, 96}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        zel::MovingRegion moving;
        std::int64_t millis = 1000;
        std::optional<TileRect> region;
        for (const Step& step : c.steps) {
            for (int i = 0; i < step.times; ++i) {
                millis += step.gapMs;
                region = moving.update(step.changed, 1024, 576, millis);
            }
        }
        EXPECT_EQ(region, c.expected);
    }
    // A new frame size starts over.
    zel::MovingRegion moving;
    for (int i = 0; i < 8; ++i) {
        moving.update({video}, 1024, 576, std::int64_t{i} * 33);
    }
    ASSERT_TRUE(moving.region());
    EXPECT_FALSE(moving.update({video}, 800, 450, std::int64_t{8} * 33));
}

// A declined video waits before its region comes back, twice as long each time; a pause in the
// picture forgives.
TEST(MovingRegion, BacksOffWhenDeclined) {
    const TileRect video{100, 70, 300, 200};
    zel::MovingRegion moving;
    std::int64_t millis = 0;
    const auto play = [&](std::int64_t ms) { // updates at 30 a second
        for (const std::int64_t end = millis + ms; millis < end;) {
            millis += 33;
            moving.update({video}, 1024, 576, millis);
        }
        return moving.region();
    };
    ASSERT_TRUE(play(300));
    struct Step {
        const char* name;
        std::int64_t pauseMs; // before the step: no update at all
        bool decline;
        std::int64_t playMs;
        bool region;
    };
    for (const Step& step :
         {Step{"declined: tiles", 0, true, 9900, false},
          Step{"after ten seconds: video again", 0, false, 300, true},
          Step{"declined again: tiles", 0, true, 19'900, false},
          Step{"after twenty seconds", 0, false, 300, true},
          Step{"declined once more", 0, true, 300, false},
          Step{"a pause, and the wait is ten seconds again", 1000, true, 9900, false},
          Step{"after them", 0, false, 300, true}}) {
        SCOPED_TRACE(step.name);
        if (step.pauseMs > 0) {
            millis += step.pauseMs;
            moving.update({}, 1024, 576, millis);
        }
        if (step.decline) {
            moving.decline(millis);
        }
        EXPECT_EQ(play(step.playMs).has_value(), step.region);
    }
}

using Answer = zel::test::TilesAnswer;
using zel::test::overlaps;

Answer ask(zel::ChangeTiles& tiles, std::uint64_t since, int width, int videoWidth) {
    return zel::test::readTilesAnswer(
        tiles.tiles(since, width, 80, true, false, 2'000'000, videoWidth));
}

// A viewer that decodes video gets an area that changes every frame as a stream beside the tiles
// (an IDR first and again for a viewer that lost its place), and the area back as tiles once it
// stops (at once on a still screen), even where its pixels are as they were when the video started.
TEST(ChangeTiles, AMovingAreaGoesAsVideoAndComesBackAsTiles) {
    for (const bool lineGoesOn : {true, false}) {
        SCOPED_TRACE(lineGoesOn ? "the line goes on" : "the screen goes still, seen at half");
        constexpr int kScreenWidth = 640;
        constexpr int kScreenHeight = 360;
        const int videoWidth = lineGoesOn ? 0 : kScreenWidth / 2; // the video at half the size
        zel::test::FakeDesktop desktop(kScreenWidth, kScreenHeight, {});
        zel::ChangeTiles tiles(desktop.capture, desktop.source);
        tiles.awaitChange(0, [] {});
        std::uint64_t since = ask(tiles, 0, 2560, videoWidth).head["sequence"];
        const zel::ChangeRect moving{96, 64, 192, 128};
        const zel::ChangeRect cursorLine{400, 300, 100, 10};
        Decoder decoder;
        std::optional<TileRect> region;
        int keys = 0;
        int videos = 0;
        for (int n = 0; n < 16; ++n) {
            const std::uint32_t colour = 0x100000U * static_cast<std::uint32_t>(n % 8) + 0x4080;
            desktop.draw(moving, colour);
            desktop.draw(cursorLine, n % 2 ? 0xffffff : 0x202020);
            // A viewer that lost its place asks for a whole frame (n == 12); the stream then starts
            // again with an IDR.
            const Answer answer = ask(tiles, n == 12 ? 0 : since, 2560, videoWidth);
            since = answer.head["sequence"];
            if (!answer.head.contains("video")) {
                continue;
            }
            const auto& v = answer.head["video"];
            region = TileRect{v[0], v[1], v[2], v[3]};
            EXPECT_EQ(*region, (TileRect{96, 64, 192, 128}));
            ++videos;
            keys += v[4].get<int>();
            if (videos == 1 || n == 13) {
                EXPECT_EQ(v[4], 1) << "no IDR where the viewer's decoder starts, update " << n;
            }
            for (const auto& tile : answer.head["tiles"]) {
                EXPECT_FALSE(overlaps(tile, *region)) << "a tile under the video: " << tile.dump();
            }
            const std::optional<Decoder::Frame> frame = decoder.decode(answer.video);
            ASSERT_TRUE(frame) << "update " << n;
            EXPECT_EQ(frame->width, lineGoesOn ? 192 : 96);
            EXPECT_EQ(frame->height, lineGoesOn ? 128 : 64);
            const std::uint8_t bgra[4] = {static_cast<std::uint8_t>(colour),
                                          static_cast<std::uint8_t>(colour >> 8U),
                                          static_cast<std::uint8_t>(colour >> 16U), 0xff};
            EXPECT_NEAR(frame->luma[frame->luma.size() / 2], lumaOf(bgra), 6) << "update " << n;
        }
        EXPECT_GE(videos, 7);
        EXPECT_EQ(keys, 2);
        ASSERT_TRUE(region);
        // The area stops, left as it was when the stream began; the line goes on, or nothing does.
        desktop.draw(moving, 0x4080);
        bool restored = false;
        for (int n = 0; n < 6 && !restored; ++n) {
            if (lineGoesOn) {
                desktop.draw(cursorLine, n % 2 ? 0xffffff : 0x202020);
            }
            const Answer answer = ask(tiles, since, 2560, videoWidth);
            since = answer.head["sequence"];
            if (answer.head.contains("video")) {
                EXPECT_TRUE(lineGoesOn || n == 0) << "a video on a still screen";
                continue;
            }
            long long covered = 0;
            for (const auto& tile : answer.head["tiles"]) {
                if (overlaps(tile, *region)) {
                    const int tx = tile[0], ty = tile[1], tw = tile[2], th = tile[3];
                    const int x0 = std::max(tx, region->x);
                    const int x1 = std::min(tx + tw, region->x + region->width);
                    const int y0 = std::max(ty, region->y);
                    const int y1 = std::min(ty + th, region->y + region->height);
                    covered += static_cast<long long>(x1 - x0) * (y1 - y0);
                }
            }
            EXPECT_EQ(covered, static_cast<long long>(region->width) * region->height)
                << answer.head.dump();
            restored = true;
        }
        EXPECT_TRUE(restored) << "the video never ended";
    }
}

// A moving area is tried as video and as tiles, and kept the cheaper way: a few flat colours go
// back to (tiny palette) tiles, a picture of many colours stays video.
TEST(ChangeTiles, AVideoThatCostsMoreThanItsTilesEnds) {
    const zel::ChangeRect area{96, 64, 192, 128};
    struct Case {
        const char* name;
        int block; // the area's picture: blocks of this size, each of its own colour
        zel::ChangeRect reported;
        bool video;
    };
    for (const Case& c :
         {Case{"flat colours", 192, area, false}, Case{"many colours", 8, area, true},
          Case{"the whole screen reported", 8, {0, 0, 640, 360}, true}}) {
        SCOPED_TRACE(c.name);
        zel::test::FakeDesktop desktop(640, 360, {});
        zel::ChangeTiles tiles(desktop.capture, desktop.source);
        tiles.awaitChange(0, [] {});
        std::uint64_t since = ask(tiles, 0, 640, 0).head["sequence"];
        std::uint32_t seed = 1;
        int lastVideos = 0;
        for (int n = 0; n < 80; ++n) {
            for (int y = area.y; y < area.y + area.height; y += c.block) {
                for (int x = area.x; x < area.x + area.width; x += c.block) {
                    seed = seed * 1664525U + 1013904223U;
                    desktop.screen->paint({x, y, c.block, std::min(c.block, area.height)},
                                          c.block == 8 ? seed >> 8U : 0x300000U * (n % 4));
                }
            }
            desktop.source->report({c.reported});
            const Answer answer = ask(tiles, since, 640, 0);
            since = answer.head["sequence"];
            if (n >= 60 && answer.head.contains("video")) {
                const auto& v = answer.head["video"];
                EXPECT_EQ((TileRect{v[0], v[1], v[2], v[3]}), (TileRect{96, 64, 192, 128}));
                ++lastVideos;
            }
        }
        EXPECT_EQ(lastVideos, c.video ? 20 : 0);
    }
}

// Copies never touch the video, and a scroll that would have touched it says so: what scrolls is
// text, which goes back to tiles and copies.
TEST(EncodeTiles, ScrollsThatTouchTheVideoAreLeftOutAndTold) {
    constexpr int kW = 320;
    constexpr int kH = 240;
    const auto rows = [](int shift) {
        Image image(kW, kH);
        for (int y = 0; y < kH; ++y) {
            const std::uint32_t seed = static_cast<std::uint32_t>(y + shift) * 2654435761U;
            for (int x = 0; x < kW; ++x) {
                const std::uint32_t c = (x / 8) % 2 ? seed : ~seed;
                std::memcpy(image.data() + y * image.stride() + static_cast<std::size_t>(x) * 4, &c,
                            4);
                image.data()[y * image.stride() + static_cast<std::size_t>(x) * 4 + 3] = 0xff;
            }
        }
        return image;
    };
    const zel::CaptureDisplay display{"d", kW, kH};
    const Image now = rows(13);
    struct Case {
        const char* name;
        std::optional<TileRect> video;
        bool scrolled;
    };
    for (const Case& c : {Case{"no video", std::nullopt, false},
                          Case{"a video elsewhere", TileRect{0, 0, 32, 32}, false},
                          Case{"a video in the scroll", TileRect{64, 64, 128, 96}, true}}) {
        SCOPED_TRACE(c.name);
        Image before = rows(0);
        const zel::EncodedTiles answer = zel::encodeTiles(
            {{0, 40, kW, kH - 40}}, display, now.view(), &before, 60, true, false, c.video);
        EXPECT_EQ(answer.videoScrolled, c.scrolled);
        if (!c.video) {
            EXPECT_FALSE(answer.copies.empty()) << "the scroll was not found";
        }
        for (const zel::TileCopy& copy : answer.copies) {
            EXPECT_FALSE(
                c.video &&
                (overlaps(nlohmann::json::array({copy.x, copy.y, copy.width, copy.height}),
                          *c.video) ||
                 overlaps(nlohmann::json::array({copy.toX, copy.toY, copy.width, copy.height}),
                          *c.video)));
        }
    }
}

} // namespace
