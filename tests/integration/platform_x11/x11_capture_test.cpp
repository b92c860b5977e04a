// The X11 capture end to end on a private Xvfb: colours and places under concurrency, the cursor,
// a missing and a vanished server.
#include "base/app_error.hpp"
#include "capture/main_process_screenshot.hpp"
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_connection.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <spng.h>
#include <thread>
#include <turbojpeg.h>

namespace {

namespace shot = zel::MainProcessScreenshot;
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

TEST(X11Capture, SixteenCapturesAtOnceShowTheColourBlocksAtTheirScaledPlaces) {
    constexpr std::uint32_t kColours[8] = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff,
                                           0x000000, 0xffff00, 0x00ffff, 0xff00ff};
    struct Case {
        std::vector<std::string> xvfbArgs;
        const char* format;
        int width, quality, tolerance;
    };
    const auto threadCount = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                             std::filesystem::directory_iterator());
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
        const auto painter = paintRoot(xvfb.display(), blocks); // the pointer sits on a corner
        const zel::test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
        const auto backend = zel::x11::makeCaptureBackend();
        const auto threadsBefore = threadCount();
        std::vector<std::vector<std::uint8_t>> shots(16);
        std::vector<std::jthread> threads;
        threads.reserve(shots.size());
        for (auto& bytes : shots) {
            threads.emplace_back([&] {
                try {
                    bytes = shot::capture(*backend, c.format, c.width, c.quality);
                } catch (const std::exception& error) {
                    ADD_FAILURE() << error.what();
                }
            });
        }
        threads.clear();
        // After the burst the backend keeps two stream threads warm and lets the rest go.
        shot::capture(*backend, "jpeg", 320, 62);
        EXPECT_LE(threadCount(), threadsBefore + 2);

        const double scale = c.width / 1280.0;
        for (const auto& bytes : shots) {
            const Rgb image = decode(bytes);
            ASSERT_EQ(image.width, c.width) << c.format;
            ASSERT_EQ(image.height, static_cast<int>(800 * scale)) << c.format;
            for (int i = 0; i < 8; ++i) {
                const auto [row, column] = std::div(i, 4);
                const Pixel seen = image.at(static_cast<int>((column * 320 + 160) * scale),
                                            static_cast<int>((row * 400 + 200) * scale));
                for (int channel = 0; channel < 3; ++channel) {
                    EXPECT_NEAR(seen[channel], (kColours[i] >> (16 - 8 * channel)) & 0xff,
                                c.tolerance)
                        << c.format << " block " << i;
                }
            }
        }
    }
}

TEST(X11Capture, CursorIsDrawnWhereXTestMovedItAndAVanishedServerIsAClearError) {
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
    const auto painter = paintRoot(xvfb.display(), {{{0, 0, 640, 480}, 0x808080}});
    const zel::test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
    ASSERT_EQ(zel::test::runCommand({"xdotool", "mousemove", "400", "300"}).exitStatus, 0);
    const auto backend = zel::x11::makeCaptureBackend();
    const Rgb image = decode(shot::capture(*backend, "png", 640, 62));
    int near = 0, far = 0; // non-grey pixels within 20 of the hot spot, and elsewhere
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            if (image.at(x, y) != Pixel{128, 128, 128}) {
                ++(std::abs(x - 400) <= 20 && std::abs(y - 300) <= 20 ? near : far);
            }
        }
    }
    EXPECT_TRUE(near > 10 && far == 0) << near << " near, " << far << " far";

    // The process goes on when the server it captures from goes away.
    xvfb.stop();
    const std::string text = failure(*backend);
    EXPECT_TRUE(!text.starts_with("AppError") && text.find("X server") != text.npos) << text;
}

} // namespace
