// The Wayland capture backend under a headless sway: a client's pixels where the compositor put
// it, in BGRA order and upright on turned outputs. (Headless outputs draw the cursor in software,
// so every copy holds it whatever overlay_cursor says: that choice is not tested here.)
#include "platform/wayland/wayland_capture.hpp"
#include "tests/support/stream_frame.hpp"
#include "tests/support/sway.hpp"
#include "tests/support/xvfb.hpp"

#include <array>
#include <gtest/gtest.h>

namespace zel {
namespace {

using Rgb = std::array<int, 3>;

constexpr Rgb kBackground{0x20, 0x40, 0x80};
constexpr Rgb kProbe{0xc0, 0x30, 0x10};

// The copy holds the output's own pixels: turned and mirrored outputs are read back upright.
TEST(WaylandCapture, ClientPixelsWhereTheCompositorPlacedThem) {
    for (const std::string transform :
         {"normal", "90", "180", "270", "flipped", "flipped-90", "flipped-180", "flipped-270"}) {
        SCOPED_TRACE(transform);
        const test::ProbeSway probed(transform);
        const test::Sway& sway = probed.sway;
        const auto backend = wayland::makeCaptureBackend(sway.socket());
        const auto displays = backend->displays();
        const bool turned = transform.ends_with("90") || transform.ends_with("270");
        const int width = turned ? 1080 : 1920, height = turned ? 1920 : 1080;
        ASSERT_EQ(displays.size(), 1U);
        const auto& d = displays[0];
        ASSERT_EQ(std::tuple(d.id, d.x, d.y, d.width, d.height),
                  std::tuple("HEADLESS-1", 0, 0, width, height));

        // Clients draw a moment after they start. The background client draws again for the
        // turned size; until then the compositor's own grey shows where the output grew.
        Image image = test::streamFrame(*backend, d);
        for (const auto& [x, y, colour] :
             {std::tuple{width - 1, height - 1, kBackground}, std::tuple{400, 250, kProbe}}) {
            test::waitUntil(
                [&, x = x, y = y, colour = colour] {
                    image = test::streamFrame(*backend, d);
                    return test::pixelAt(image, x, y) == colour;
                },
                std::chrono::seconds(15));
        }
        // The window spans 200..599 × 100..399; its first and last pixels and their neighbours.
        const std::tuple<int, int, Rgb> kPoints[] = {
            {400, 250, kProbe},      {200, 100, kProbe},      {599, 399, kProbe},
            {199, 250, kBackground}, {600, 250, kBackground}, {400, 99, kBackground},
            {400, 400, kBackground}, {0, 0, kBackground},     {width - 1, height - 1, kBackground}};
        for (const auto& [x, y, colour] : kPoints) {
            EXPECT_EQ(test::pixelAt(image, x, y), colour) << x << "," << y;
        }
    }
}

} // namespace
} // namespace zel
