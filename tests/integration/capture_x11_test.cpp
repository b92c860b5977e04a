// The X11 capture end to end on a private Xvfb: colours and places, the cursor, concurrency,
// a vanished server, and shared-memory segments released.
#include "app/app_error.hpp"
#include "capture/main_process_screenshot.hpp"
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_connection.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <cmath>
#include <fstream>
#include <gtest/gtest.h>
#include <spng.h>
#include <sstream>
#include <thread>
#include <turbojpeg.h>
#include <unistd.h>

namespace {

namespace shot = zel::MainProcessScreenshot;
using namespace std::chrono_literals;

struct Rgb {
    int width = 0, height = 0;
    std::vector<std::uint8_t> pixels;
    [[nodiscard]] std::array<int, 3> at(int x, int y) const {
        const std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 3];
        return {p[0], p[1], p[2]};
    }
};

Rgb decode(const std::vector<std::uint8_t>& bytes) {
    Rgb out;
    if (bytes.size() > 2 && bytes[0] == 0xff && bytes[1] == 0xd8) {
        struct Destroy {
            void operator()(void* h) const { tjDestroy(h); }
        };
        const std::unique_ptr<void, Destroy> tj(tjInitDecompress());
        int sub = 0, space = 0;
        EXPECT_EQ(tjDecompressHeader3(tj.get(), bytes.data(), bytes.size(), &out.width, &out.height,
                                      &sub, &space),
                  0);
        out.pixels.resize(static_cast<std::size_t>(out.width) * out.height * 3);
        EXPECT_EQ(tjDecompress2(tj.get(), bytes.data(), bytes.size(), out.pixels.data(), out.width,
                                0, out.height, TJPF_RGB, 0),
                  0);
        return out;
    }
    struct Free {
        void operator()(spng_ctx* c) const { spng_ctx_free(c); }
    };
    const std::unique_ptr<spng_ctx, Free> ctx(spng_ctx_new(0));
    spng_set_png_buffer(ctx.get(), bytes.data(), bytes.size());
    spng_ihdr header{};
    EXPECT_EQ(spng_get_ihdr(ctx.get(), &header), 0) << "neither JPEG nor PNG";
    out.width = static_cast<int>(header.width);
    out.height = static_cast<int>(header.height);
    std::size_t size = 0;
    spng_decoded_image_size(ctx.get(), SPNG_FMT_RGB8, &size);
    out.pixels.resize(size);
    EXPECT_EQ(spng_decode_image(ctx.get(), out.pixels.data(), size, SPNG_FMT_RGB8, 0), 0);
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
    const zel::x11::Reply<xcb_get_input_focus_reply_t> sync(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    EXPECT_TRUE(sync);
    return connection;
}

void movePointer(const std::string& display, int x, int y) {
    zel::test::Child xdotool({"xdotool", "mousemove", std::to_string(x), std::to_string(y)},
                             {"DISPLAY=" + display});
    const auto status = xdotool.waitFor(10s);
    ASSERT_TRUE(status.has_value());
    ASSERT_EQ(*status, 0);
}

int channelDistance(std::array<int, 3> a, std::array<int, 3> b) {
    int worst = 0;
    for (int i = 0; i < 3; ++i) {
        worst = std::max(worst, std::abs(a[i] - b[i]));
    }
    return worst;
}

constexpr std::uint32_t kBlockColours[2][4] = {{0xff0000, 0x00ff00, 0x0000ff, 0xffffff},
                                               {0x000000, 0xffff00, 0x00ffff, 0xff00ff}};

TEST(X11Capture, ColourBlocksLandAtTheirScaledPlaces) {
    struct Case {
        const char* name;
        std::vector<std::string> xvfbArgs;
        const char* format;
        int width, quality, tolerance;
    };
    const Case cases[] = {
        {"shm jpeg", {}, "jpeg", 640, 90, 24},
        {"shm png", {}, "png", 960, 62, 2},
        {"no shm jpeg", {"-extension", "MIT-SHM"}, "jpeg", 640, 90, 24},
        {"no shm png", {"-extension", "MIT-SHM"}, "png", 960, 62, 2},
    };
    for (const Case& c : cases) {
        const zel::test::Xvfb xvfb(1280, 800, c.xvfbArgs);
        std::vector<std::pair<xcb_rectangle_t, std::uint32_t>> blocks;
        for (int row = 0; row < 2; ++row) {
            for (int col = 0; col < 4; ++col) {
                blocks.push_back({{static_cast<std::int16_t>(col * 320),
                                   static_cast<std::int16_t>(row * 400), 320, 400},
                                  kBlockColours[row][col]});
            }
        }
        const auto painter = paintRoot(xvfb.display(), blocks);
        movePointer(xvfb.display(), 1279, 799);
        const zel::test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
        const auto backend = zel::x11::makeCaptureBackend();
        const Rgb image = decode(shot::capture(*backend, c.format, c.width, c.quality));
        const double scale = c.width / 1280.0;
        ASSERT_EQ(image.width, c.width) << c.name;
        ASSERT_EQ(image.height, static_cast<int>(800 * scale)) << c.name;
        for (int row = 0; row < 2; ++row) {
            for (int col = 0; col < 4; ++col) {
                const std::uint32_t rgb = kBlockColours[row][col];
                const std::array<int, 3> expected = {static_cast<int>(rgb >> 16),
                                                     static_cast<int>((rgb >> 8) & 0xff),
                                                     static_cast<int>(rgb & 0xff)};
                const auto seen = image.at(static_cast<int>((col * 320 + 160) * scale),
                                           static_cast<int>((row * 400 + 200) * scale));
                EXPECT_LE(channelDistance(seen, expected), c.tolerance)
                    << c.name << " block " << row << "," << col;
            }
        }
    }
}

TEST(X11Capture, CursorIsDrawnWhereXTestMovedIt) {
    const zel::test::Xvfb xvfb(1280, 800);
    const auto painter = paintRoot(xvfb.display(), {{{0, 0, 1280, 800}, 0x808080}});
    const zel::test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
    const auto backend = zel::x11::makeCaptureBackend();
    for (const auto& [px, py] : {std::pair{300, 200}, std::pair{900, 600}, std::pair{40, 700}}) {
        movePointer(xvfb.display(), px, py);
        const Rgb image = decode(shot::capture(*backend, "png", 1280, 62));
        ASSERT_EQ(image.width, 1280);
        int count = 0, minX = 1280, maxX = -1, minY = 800, maxY = -1;
        for (int y = 0; y < image.height; ++y) {
            for (int x = 0; x < image.width; ++x) {
                if (image.at(x, y) != std::array<int, 3>{128, 128, 128}) {
                    ++count;
                    minX = std::min(minX, x), maxX = std::max(maxX, x);
                    minY = std::min(minY, y), maxY = std::max(maxY, y);
                }
            }
        }
        ASSERT_GT(count, 10) << "no cursor at " << px << "," << py;
        // The whole cursor image lies within a small box around the hot spot.
        EXPECT_LE(maxX - minX, 40);
        EXPECT_LE(maxY - minY, 40);
        EXPECT_LE(minX, px);
        EXPECT_GE(maxX, px);
        EXPECT_LE(minY, py);
        EXPECT_GE(maxY, py);
    }
}

TEST(X11Capture, SixteenCapturesAtOnceAllSucceed) {
    const zel::test::Xvfb xvfb(1920, 1080);
    const auto painter =
        paintRoot(xvfb.display(), {{{0, 0, 960, 1080}, 0x3366cc}, {{960, 0, 960, 1080}, 0xcc6633}});
    const zel::test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
    const auto backend = zel::x11::makeCaptureBackend();
    std::vector<std::string> results(16);
    std::vector<std::thread> threads;
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
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& result : results) {
        EXPECT_EQ(result, "960x540");
    }
}

TEST(X11Capture, MissingOrVanishedServerIsAClearErrorAndTheProcessGoesOn) {
    {
        const zel::test::ScopedEnv env("DISPLAY", ":4093");
        const auto backend = zel::x11::makeCaptureBackend(); // no server: must not fail here
        try {
            shot::capture(*backend, "jpeg", 960, 62);
            FAIL() << "captured without a server";
        } catch (const zel::AppError& error) {
            FAIL() << "expected the platform's error, got " << error.what();
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Cannot connect to the X server \":4093\".");
        }
    }
    zel::test::Xvfb xvfb(640, 480);
    const zel::test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
    const auto backend = zel::x11::makeCaptureBackend();
    EXPECT_FALSE(shot::capture(*backend, "jpeg", 640, 62).empty());
    xvfb.stop();
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            shot::capture(*backend, "jpeg", 640, 62);
            FAIL() << "captured from a stopped server";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find("X server"), std::string::npos)
                << error.what();
        }
    }
}

// Segments this process created that still exist (attached by us or by the server).
int ownSegments() {
    std::ifstream table("/proc/sysvipc/shm");
    std::string line;
    std::getline(table, line);
    int count = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        long key = 0, id = 0, perms = 0, size = 0, creator = 0;
        fields >> key >> id >> perms >> size >> creator;
        count += creator == ::getpid() ? 1 : 0;
    }
    return count;
}

// The server lets go of a segment when it handles our detach, a moment after we do.
int settledSegments(int expected) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (ownSegments() != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    return ownSegments();
}

TEST(X11Capture, SegmentsAreReusedAndAllReleasedWithTheBackend) {
    const zel::test::Xvfb xvfb(1280, 800);
    const zel::test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
    const int before = ownSegments();
    {
        const auto backend = zel::x11::makeCaptureBackend();
        shot::capture(*backend, "jpeg", 640, 62);
        const int warm = ownSegments();
        EXPECT_EQ(warm, before + 1);
        for (int i = 0; i < 100; ++i) {
            shot::capture(*backend, "jpeg", 640, 62);
        }
        EXPECT_EQ(settledSegments(warm), warm);
    }
    EXPECT_EQ(settledSegments(before), before);
}

} // namespace
