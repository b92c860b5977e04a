// The X11 capture end to end on a private Xvfb: colours and places under concurrency, the cursor,
// a missing and a vanished server.
#include "base/app_error.hpp"
#include "capture/main_process_screenshot.hpp"
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_connection.hpp"
#include "tests/integration/platform_x11/x11_test_screen.hpp"
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
using zel::test::decode;
using zel::test::paintRoot;
using zel::test::Pixel;
using zel::test::Rgb;

TEST(X11Capture, SixteenCapturesAtOnceShowTheColourBlocksAtTheirScaledPlaces) {
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
        const auto painter = zel::test::paintBlocks(xvfb.display(), 1280, 800); // pointer: a corner
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

        for (const auto& bytes : shots) {
            const Rgb image = decode(bytes);
            ASSERT_EQ(std::pair(image.width, image.height),
                      std::pair(c.width, c.width * 800 / 1280))
                << c.format;
            zel::test::expectBlocks(image, c.tolerance, c.format);
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
