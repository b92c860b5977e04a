// The Wayland input backend under a headless sway with two outputs, the main one right of the
// other: requests arrive at a full-screen recording client (wev) at the surface-local pixel of
// their normalized point, with the right buttons, wheel steps and keysyms; characters the layout
// lacks on spare keys bound by an uploaded keymap, a second batch when the first is used up.
#include "platform/wayland/wayland_capture.hpp"
#include "platform/wayland/wayland_input.hpp"
#include "tests/support/input_arrivals.hpp"
#include "tests/support/sway.hpp"
#include "tests/support/xvfb.hpp"

#include <gtest/gtest.h>

namespace zel {
namespace {

TEST(WaylandInput, RequestsArriveAtTheRecordingClient) {
    const test::Sway sway("for_window [app_id=\"wev\"] fullscreen enable");
    ASSERT_EQ(sway.message({"create_output; output HEADLESS-2 mode 1280x720 position 0 0; "
                            "output HEADLESS-1 position 1280 0; focus output HEADLESS-1"})
                  .exitStatus,
              0);
    test::Recorder wev{
        sway.path("wev.log"), test::parseWev, {1280, 0, 1920, 1080}, 0, 0, 1920, 1080};
    const test::Child client({"sh", "-c", "exec stdbuf -oL wev >\"$0\" 2>&1", wev.log},
                             sway.clientEnv());
    ASSERT_TRUE(test::waitUntil(
        [&] { return test::readFile(wev.log).find("fullscreen") != std::string::npos; },
        std::chrono::seconds(10)));
    // Displays in the compositor's order, each where the layout puts it.
    const auto displays = wayland::makeCaptureBackend(sway.socket())->displays();
    ASSERT_EQ(displays.size(), 2U);
    EXPECT_EQ(std::tuple(displays[0].id, displays[0].x, displays[1].id, displays[1].width),
              std::tuple("HEADLESS-1", 1280, "HEADLESS-2", 1280));
    const auto input = wayland::makeInputBackend(sway.socket());
    ASSERT_TRUE(input->trusted());
    test::expectArrivals(*input, wev,
                         {"a!你好a你\n", "Grüße, é € ½ ✓ 😀", "€日本語天地玄黄宇宙洪荒"});
}

} // namespace
} // namespace zel
