// The X11 capture end to end on a private Xvfb: colours and places, the cursor, concurrency and
// a vanished server.
#include "app/app_error.hpp"
#include "capture/main_process_screenshot.hpp"
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_connection.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <spng.h>
#include <thread>
#include <turbojpeg.h>

namespace {

namespace shot = zel::MainProcessScreenshot;
using namespace std::chrono_literals;
using Pixel = std::array<int, 3>;

struct Rgb {
    int width = 0, height = 0;
    std::vector<std::uint8_t> pixels;
    [[nodiscard]] Pixel at(int x, int y) const {
        const std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 3];
        return {p[0], p[1], p[2]};
    }
};

Rgb decode(const std::vector<std::uint8_t>& bytes) {
    Rgb out;
    if (bytes.at(0) == 0xff) {
        tjhandle tj = tjInitDecompress();
        int sub = 0, space = 0;
        tjDecompressHeader3(tj, bytes.data(), bytes.size(), &out.width, &out.height, &sub, &space);
        out.pixels.resize(static_cast<std::size_t>(out.width) * out.height * 3);
        EXPECT_EQ(tjDecompress2(tj, bytes.data(), bytes.size(), out.pixels.data(), out.width, 0,
                                out.height, TJPF_RGB, 0),
                  0);
        tjDestroy(tj);
        return out;
    }
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, bytes.data(), bytes.size());
    spng_ihdr header{};
    EXPECT_EQ(spng_get_ihdr(ctx, &header), 0) << "neither JPEG nor PNG";
    out.width = static_cast<int>(header.width), out.height = static_cast<int>(header.height);
    std::size_t size = 0;
    spng_decoded_image_size(ctx, SPNG_FMT_RGB8, &size);
    out.pixels.resize(size);
    EXPECT_EQ(spng_decode_image(ctx, out.pixels.data(), size, SPNG_FMT_RGB8, 0), 0);
    spng_ctx_free(ctx);
    return out;
}

// Paints the root window's background with rectangles of 0xRRGGBB colours. The connection is
// returned to be held: when its last client leaves, the X server resets and the picture is gone.
[[nodiscard]] std::shared_ptr<zel::x11::Connection>
paintRoot(const std::string& display,
          const std::vector<std::pair<xcb_rectangle_t, std::uint32_t>>& blocks) {
    auto connection = zel::x11::Connection::open(display.c_str());
    xcb_connection_t* c = connection->get();
    const xcb_screen_t& screen = connection->screen();
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, screen.root_depth, pixmap, screen.root, screen.width_in_pixels,
                      screen.height_in_pixels);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, pixmap, 0, nullptr);
    for (const auto& [rectangle, colour] : blocks) {
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
        xcb_poly_fill_rectangle(c, pixmap, gc, 1, &rectangle);
    }
    xcb_change_window_attributes(c, screen.root, XCB_CW_BACK_PIXMAP, &pixmap);
    xcb_clear_area(c, 0, screen.root, 0, 0, 0, 0);
    xcb_free_gc(c, gc);
    xcb_free_pixmap(c, pixmap);
    EXPECT_TRUE(zel::x11::Reply<xcb_get_input_focus_reply_t>(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)));
    return connection;
}

void movePointer(const std::string& display, int x, int y) {
    zel::test::Child xdotool({"xdotool", "mousemove", std::to_string(x), std::to_string(y)},
                             {"DISPLAY=" + display});
    ASSERT_EQ(xdotool.waitFor(10s), 0);
}

TEST(X11Capture, ColourBlocksLandAtTheirScaledPlaces) {
    constexpr std::uint32_t kColours[8] = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff,
                                           0x000000, 0xffff00, 0x00ffff, 0xff00ff};
    struct Case {
        std::vector<std::string> xvfbArgs;
        const char* format;
        int width, quality, tolerance;
    };
    for (const Case& c :
         {Case{{}, "jpeg", 640, 90, 24}, Case{{"-extension", "MIT-SHM"}, "png", 960, 62, 2}}) {
        const zel::test::Xvfb xvfb(1280, 800, c.xvfbArgs);
        std::vector<std::pair<xcb_rectangle_t, std::uint32_t>> blocks;
        blocks.reserve(8);
        for (int i = 0; i < 8; ++i) {
            blocks.push_back({{static_cast<std::int16_t>(i % 4 * 320),
                               static_cast<std::int16_t>(i / 4 * 400), 320, 400},
                              kColours[i]});
        }
        const auto painter = paintRoot(xvfb.display(), blocks);
        movePointer(xvfb.display(), 1279, 799);
        const zel::test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
        const Rgb image =
            decode(shot::capture(*zel::x11::makeCaptureBackend(), c.format, c.width, c.quality));
        const double scale = c.width / 1280.0;
        ASSERT_EQ(image.width, c.width) << c.format;
        ASSERT_EQ(image.height, static_cast<int>(800 * scale)) << c.format;
        for (int i = 0; i < 8; ++i) {
            const int column = i % 4;
            const int row = i / 4;
            const Pixel seen = image.at(static_cast<int>((column * 320 + 160) * scale),
                                        static_cast<int>((row * 400 + 200) * scale));
            for (int channel = 0; channel < 3; ++channel) {
                EXPECT_NEAR(seen[channel], (kColours[i] >> (16 - 8 * channel)) & 0xff, c.tolerance)
                    << c.format << " block " << i;
            }
        }
    }
}

TEST(X11Capture, CursorIsDrawnWhereXTestMovedIt) {
    const zel::test::Xvfb xvfb(1280, 800);
    const auto painter = paintRoot(xvfb.display(), {{{0, 0, 1280, 800}, 0x808080}});
    const zel::test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
    movePointer(xvfb.display(), 900, 600);
    const Rgb image = decode(shot::capture(*zel::x11::makeCaptureBackend(), "png", 1280, 62));
    int count = 0, minX = 1280, maxX = -1, minY = 800, maxY = -1;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            if (image.at(x, y) != Pixel{128, 128, 128}) {
                ++count;
                minX = std::min(minX, x), maxX = std::max(maxX, x);
                minY = std::min(minY, y), maxY = std::max(maxY, y);
            }
        }
    }
    // The whole cursor image lies within a small box around the hot spot.
    EXPECT_TRUE(count > 10 && maxX - minX <= 40 && maxY - minY <= 40 && minX <= 900 &&
                900 <= maxX && minY <= 600 && 600 <= maxY)
        << count << ": " << minX << "-" << maxX << "," << minY << "-" << maxY;
}

TEST(X11Capture, SixteenCapturesAtOnceAllSucceed) {
    const zel::test::Xvfb xvfb(1920, 1080);
    const zel::test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
    const auto backend = zel::x11::makeCaptureBackend();
    const auto threadCount = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                             std::filesystem::directory_iterator());
    };
    const auto threadsBefore = threadCount();
    std::vector<std::string> results(16);
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] {
            try {
                const Rgb image = decode(shot::capture(*backend, i % 2 ? "png" : "jpeg", 960, 62));
                results[i] = std::to_string(image.width) + "x" + std::to_string(image.height);
            } catch (const std::exception& error) {
                results[i] = error.what();
            }
        });
    }
    threads.clear();
    EXPECT_EQ(results, std::vector<std::string>(16, "960x540"));
    // After the burst the backend keeps two stream threads warm and lets the rest go.
    shot::capture(*backend, "jpeg", 320, 62);
    EXPECT_LE(threadCount(), threadsBefore + 2);
}

TEST(X11Capture, MissingOrVanishedServerIsAClearErrorAndTheProcessGoesOn) {
    const auto failure = [](zel::CaptureBackend& backend) -> std::string {
        try {
            shot::capture(backend, "jpeg", 640, 62);
        } catch (const zel::AppError& error) {
            return "AppError: " + error.message;
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return "(no failure)";
    };
    {
        const zel::test::ScopedEnv env("DISPLAY", ":4093");
        EXPECT_EQ(failure(*zel::x11::makeCaptureBackend()),
                  "Cannot connect to the X server \":4093\".");
    }
    zel::test::Xvfb xvfb(640, 480);
    const zel::test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
    const auto backend = zel::x11::makeCaptureBackend();
    EXPECT_FALSE(shot::capture(*backend, "jpeg", 640, 62).empty());
    xvfb.stop();
    const std::string text = failure(*backend);
    EXPECT_TRUE(!text.starts_with("AppError") && text.find("X server") != text.npos) << text;
}

} // namespace
