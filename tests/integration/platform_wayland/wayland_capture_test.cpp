// The Wayland capture backend under a headless sway: a client's pixels where the compositor put
// it, in BGRA order and upright on turned outputs. (Headless
// outputs draw the cursor in software, so every copy holds it whatever overlay_cursor says: that
// choice is not tested here.)
#include "platform/wayland/wayland_capture.hpp"
#include "tests/support/stream_frame.hpp"
#include "tests/support/sway.hpp"
#include "tests/support/xvfb.hpp"

#include <array>
#include <gtest/gtest.h>
#include <thread>

namespace zel {
namespace {

using Rgb = std::array<int, 3>;

constexpr Rgb kBackground{0x20, 0x40, 0x80};
constexpr Rgb kProbe{0xc0, 0x30, 0x10};

using Places = std::vector<std::tuple<std::string, int, int, int, int>>;
Places places(const std::vector<CaptureDisplay>& displays) {
    Places out;
    for (const auto& d : displays) {
        out.emplace_back(d.id, d.x, d.y, d.width, d.height);
    }
    return out;
}

// Clients draw a moment after they start: frames until the pixel shows the colour.
Image frameShowing(CaptureBackend& backend, const CaptureDisplay& display, int x, int y,
                   Rgb colour) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (true) {
        Image image = test::streamFrame(backend, display);
        if (test::pixelAt(image, x, y) == colour || std::chrono::steady_clock::now() > deadline) {
            return image;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// The copy holds the output's own pixels: turned and mirrored outputs are read back upright.
TEST(WaylandCapture, ClientPixelsWhereTheCompositorPlacedThem) {
    for (const std::string transform :
         {"normal", "90", "180", "270", "flipped", "flipped-90", "flipped-180", "flipped-270"}) {
        SCOPED_TRACE(transform);
        const test::Sway sway("for_window [app_id=\"zel-probe\"] floating enable, "
                              "resize set 400 300, move position 200 100");
        ASSERT_EQ(sway.message({"output", "HEADLESS-1", "transform", transform}).exitStatus, 0);
        const test::Child foot({"sh", "-c",
                                "exec foot --app-id=zel-probe -o colors.background=c03010 "
                                "sleep 600 2>/dev/null"},
                               sway.clientEnv());
        const auto backend = wayland::makeCaptureBackend(sway.socket());
        const auto displays = backend->displays();
        const bool turned = transform.ends_with("90") || transform.ends_with("270");
        const int width = turned ? 1080 : 1920;
        const int height = turned ? 1920 : 1080;
        ASSERT_EQ(places(displays), (Places{{"HEADLESS-1", 0, 0, width, height}}));

        // The background client draws again for the turned size a moment later; until then the
        // compositor's own grey shows where the output grew.
        (void)frameShowing(*backend, displays[0], width - 1, height - 1, kBackground);
        const Image image = frameShowing(*backend, displays[0], 400, 250, kProbe);
        // The window spans 200..599 × 100..399; its first and last pixels and their neighbours.
        const struct {
            int x;
            int y;
            Rgb colour;
        } kPoints[] = {
            {400, 250, kProbe},      {200, 100, kProbe},      {599, 399, kProbe},
            {199, 250, kBackground}, {600, 250, kBackground}, {400, 99, kBackground},
            {400, 400, kBackground}, {0, 0, kBackground},     {width - 1, height - 1, kBackground},
        };
        for (const auto& point : kPoints) {
            EXPECT_EQ(test::pixelAt(image, point.x, point.y), point.colour)
                << point.x << "," << point.y;
        }
    }
}

} // namespace
} // namespace zel
