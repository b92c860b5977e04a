// The Wayland capture backend under a headless sway: a client's pixels where the compositor put
// it, in BGRA order and upright on turned outputs; the areas the live view grabs from the watch's
// whole copies are those areas of a whole capture. (Headless outputs draw the cursor in software,
// so every copy holds it whatever overlay_cursor says: that choice is not tested here.)
#include "platform/wayland/wayland_capture.hpp"
#include "platform/wayland/wayland_damage.hpp"
#include "tests/support/stream_frame.hpp"
#include "tests/support/sway.hpp"
#include "tests/support/xvfb.hpp"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>

namespace zel {
namespace {

using Rgb = std::array<int, 3>;

constexpr Rgb kBackground{0x20, 0x40, 0x80};
constexpr Rgb kProbe{0xc0, 0x30, 0x10};

TEST(WaylandCapture, ClientPixelsAndGrabbedAreasWhereTheCompositorPlacedThem) {
    for (const std::string transform :
         {"normal", "90", "180", "270", "flipped", "flipped-90", "flipped-180", "flipped-270"}) {
        SCOPED_TRACE(transform);
        // One terminal of the probe's colour floating at 200,100, 400×300 in the layout.
        const test::Sway sway("for_window [app_id=\"zel-probe\"] floating enable, resize set 400 "
                              "300, move position 200 100");
        ASSERT_EQ(sway.message({"output", "HEADLESS-1", "transform", transform}).exitStatus, 0);
        const test::Child probe(
            {"sh", "-c",
             "exec foot --app-id=zel-probe -o colors.background=c03010 sleep 600 2>/dev/null"},
            sway.clientEnv());
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

        // Before the watch has a whole copy a grab fails (the caller captures the whole frame
        // then), and asks for whole copies from then on.
        const auto changes = wayland::makeChangeSource(sway.socket());
        const auto grabber = changes->areaGrabber();
        ASSERT_TRUE(grabber);
        Image area(1, 1);
        EXPECT_THROW(grabber->grab({0, 0, 1, 1}, area.view(), true), std::runtime_error);
        const auto watch = changes->watch([](const ChangeReport&) {});
        const auto same = [&](const ChangeRect& r) {
            Image grabbed(r.width, r.height);
            try {
                grabber->grab(r, grabbed.view(), true);
            } catch (const std::runtime_error&) {
                return false;
            }
            for (int y = 0; y < r.height; ++y) {
                for (int x = 0; x < r.width; ++x) {
                    if (test::pixelAt(grabbed, x, y) != test::pixelAt(image, r.x + x, r.y + y)) {
                        return false;
                    }
                }
            }
            return true;
        };
        const ChangeRect kAreas[] = {{400, 250, 1, 1},
                                     {190, 90, 20, 20}, // across the window's corner
                                     {width - 7, height - 3, 7, 3},
                                     {0, 0, width, height}};
        EXPECT_TRUE(test::waitUntil(
            [&] {
                image = test::streamFrame(*backend, d);
                return std::ranges::all_of(kAreas, same);
            },
            std::chrono::seconds(15)));
        for (const ChangeRect& r : kAreas) {
            EXPECT_TRUE(same(r)) << r.x << "," << r.y << " " << r.width << "x" << r.height;
        }
    }
}

} // namespace
} // namespace zel
