// The live view's tiles over the damage screencopy reports on a private headless sway, placed in
// the layout for every transform and scale: painted windows come in small tiles of their colour.
#include "platform/wayland/wayland_capture.hpp"
#include "platform/wayland/wayland_damage.hpp"
#include "platform/wayland/wayland_input.hpp"
#include "tests/support/damage_tiles.hpp"
#include "tests/support/stream_frame.hpp"
#include "tests/support/sway.hpp"
#include "tests/support/xvfb.hpp" // test::Child
#include "tests/support/xvfb.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <optional>
#include <thread>

namespace zel {
namespace {

TEST(WaylandDamage, BufferDamageLandsWhereTheLayoutShowsIt) {
    // A 40×10 strip at the top-left corner of a 200×100 buffer; turned, the layout is 100×200.
    const wayland::Rect corner{0, 0, 40, 10}, wide{0, 0, 200, 100}, tall{0, 0, 100, 200};
    const std::tuple<int, bool, wayland::Rect, ChangeRect> kCases[] = {
        {WL_OUTPUT_TRANSFORM_NORMAL, false, {1000, 50, 200, 100}, {1000, 50, 40, 10}},
        {WL_OUTPUT_TRANSFORM_NORMAL, true, wide, {0, 90, 40, 10}},
        {WL_OUTPUT_TRANSFORM_90, false, tall, {90, 0, 10, 40}},
        {WL_OUTPUT_TRANSFORM_180, false, wide, {160, 90, 40, 10}},
        {WL_OUTPUT_TRANSFORM_270, false, tall, {0, 160, 10, 40}},
        {WL_OUTPUT_TRANSFORM_FLIPPED, false, wide, {160, 0, 40, 10}},
        {WL_OUTPUT_TRANSFORM_FLIPPED_90, false, tall, {0, 0, 10, 40}},
        {WL_OUTPUT_TRANSFORM_FLIPPED_180, false, wide, {0, 90, 40, 10}},
        {WL_OUTPUT_TRANSFORM_FLIPPED_270, false, tall, {90, 160, 10, 40}},
        // Scale 2: 200×100 pixels are 100×50 points; an odd edge widens to the whole point.
        {WL_OUTPUT_TRANSFORM_NORMAL, false, {10, 10, 100, 50}, {10, 10, 20, 5}},
    };
    for (const auto& [transform, yInverted, layout, expected] : kCases) {
        EXPECT_EQ(wayland::layoutRect(corner, 200, 100, yInverted, transform, layout), expected)
            << "transform " << transform << " yInverted " << yInverted << " x " << layout.x;
    }
    EXPECT_EQ(wayland::layoutRect({3, 3, 1, 1}, 200, 100, false, 0, {0, 0, 100, 50}),
              (ChangeRect{1, 1, 1, 1}));
}

// A terminal printing a line 30 times a second: every frame sway draws is reported, not one per
// gap the source waits. Counted against the lines the load printed in the same span, so a slow
// machine that prints fewer still holds to the share.
TEST(WaylandDamage, ReportsEveryFrameOfThirtyChangesASecond) {
    const test::Sway sway;
    const std::string ticks = sway.path("ticks");
    // On a 30 Hz grid from one process: no fork in the loop to slow it.
    const char* const kPrinter = "import sys, time\n"
                                 "ticks = open(sys.argv[1], 'a')\n"
                                 "at = time.monotonic()\n"
                                 "while True:\n"
                                 "    print(time.time(), 'a line of a busy terminal', flush=True)\n"
                                 "    ticks.write('.'); ticks.flush()\n"
                                 "    at += 1 / 30\n"
                                 "    time.sleep(max(0, at - time.monotonic()))\n";
    const test::Child load({"foot", "--app-id=zel-load", "python3", "-c", kPrinter, ticks},
                           sway.clientEnv());
    const auto printed = [&] {
        std::error_code error;
        const auto size = std::filesystem::file_size(ticks, error);
        return error ? std::uintmax_t{0} : size;
    };
    ASSERT_TRUE(test::waitUntil([&] { return printed() > 10; }, std::chrono::seconds(15)))
        << "the terminal never printed";
    std::atomic<int> reports = 0;
    const auto watch = wayland::makeChangeSource(sway.socket())->watch([&](const ChangeReport& r) {
        reports += r.rects.empty() ? 0 : 1;
    });
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the first, whole report
    const int reports0 = reports;
    const auto printed0 = printed();
    std::this_thread::sleep_for(std::chrono::seconds(4));
    const int seen = reports - reports0;
    const auto made = static_cast<int>(printed() - printed0);
    std::cout << "changes made " << made << ", reported " << seen << " in 4 s\n";
    EXPECT_GE(made, 40) << "the load barely ran";
    EXPECT_GE(seen * 30, made * 25) << "fewer than 25 reports for 30 changes";
}

// Scaled to half: whole captures, JPEG tiles; at the desktop's own pixels with copies: areas from
// the watch's whole copies, palette PNG tiles. The sway rules put the windows where kDamagePaints
// has them (larger than sway's smallest floating window).
TEST(WaylandDamageTiles, HoldThePaintedColourAndNothingIsSentWhenNothingChanged) {
    // The compositor is stopped under live connections at the end: a write then must fail, not
    // end the test program.
    std::signal(SIGPIPE, SIG_IGN);
    for (const bool copies : {false, true}) {
        SCOPED_TRACE(copies ? "copies" : "scaled");
        std::optional<test::Sway> sway;
        const std::string socket =
            sway.emplace("for_window [app_id=zel-0] floating enable, resize set 120 80, "
                         "move position 400 300\nfor_window [app_id=zel-1] floating "
                         "enable, resize set 100 60, move position 900 100")
                .socket();
        const auto input = wayland::makeInputBackend(socket);
        std::vector<std::unique_ptr<test::Child>> windows;
        // A terminal of the colour.
        const auto paint = [&](std::size_t i) {
            windows.push_back(std::make_unique<test::Child>(
                std::vector<std::string>{
                    "sh", "-c",
                    "exec foot --app-id=zel-" + std::to_string(i) + " -o colors.background=" +
                        test::kDamagePaints[i].second + " sleep 600 2>/dev/null"},
                sway->clientEnv()));
        };
        test::checkDamageTiles(wayland::makeCaptureBackend(socket),
                               wayland::makeChangeSource(socket), *input, 1920, 1080, copies, paint,
                               [&] {
                                   windows.clear();
                                   sway.reset();
                               });
    }
}

// The Wayland capture backend under a headless sway: a client's pixels where the compositor put
// it, in BGRA order and upright on turned outputs; the areas the live view grabs from the watch's
// whole copies are those areas of a whole capture. (Headless outputs draw the cursor in software,
// so every copy holds it whatever overlay_cursor says: that choice is not tested here.)
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
