// Change tracking under the live view's tiles on both platforms that report damage: a private
// Xvfb (Damage, changed areas grabbed through MIT-SHM at the desktop's own pixels) and a headless
// sway (screencopy's damage in the output's own pixels, placed in the layout for every transform
// and scale). What is painted comes in small tiles holding its colour; nothing comes on a still
// desktop or for pixels drawn again unchanged; the server's end ends the watch.
#include "base/app_error.hpp"
#include "capture/change_tiles.hpp"
#include "input/input_actions.hpp"
#include "platform/wayland/wayland_capture.hpp"
#include "platform/wayland/wayland_damage.hpp"
#include "platform/wayland/wayland_input.hpp"
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_damage.hpp"
#include "platform/x11/x11_input.hpp"
#include "tests/integration/platform_x11/x11_test_screen.hpp"
#include "tests/support/sway.hpp"
#include "tests/support/xvfb.hpp"

#include <csignal>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

namespace zel {
namespace {

using namespace std::chrono_literals;

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

// Painted areas (larger than sway's smallest floating window; the fixture's sway rules put the
// windows there) and their colours.
const std::pair<ChangeRect, const char*> kPaints[] = {{{400, 300, 120, 80}, "ff0000"},
                                                      {{900, 100, 100, 60}, "00ff00"}};

// Whether ImageMagick's "RRGGBB" is the colour, within what JPEG blurs.
bool near(const std::string& hex, const std::string& rgb) {
    const auto channel = [](const std::string& text, std::size_t i) {
        return text.size() < i + 2 ? -999 : std::stoi(text.substr(i, 2), nullptr, 16);
    };
    return std::ranges::all_of(std::array{0, 2, 4}, [&](std::size_t i) {
        return std::abs(channel(hex, i) - channel(rgb, i)) < 60;
    });
}

// On sway (true) or X11; scaled to half (whole captures, JPEG) or at the desktop's own pixels for
// a viewer that takes copies (X11 then grabs only the changed areas; PNG for flat colour).
class DamageTiles : public testing::TestWithParam<std::tuple<bool, bool>> {
protected:
    void SetUp() override {
        // The X server is stopped under live connections at the end, and libxcb writes without
        // MSG_NOSIGNAL: a write then must fail, not end the test program.
        std::signal(SIGPIPE, SIG_IGN);
        if (std::get<0>(GetParam())) {
            width = 1920, height = 1080;
            socket = sway.emplace("for_window [app_id=zel-0] floating enable, resize set 120 80, "
                                  "move position 400 300\nfor_window [app_id=zel-1] floating "
                                  "enable, resize set 100 60, move position 900 100")
                         .socket();
        } else {
            xvfb.emplace(1280, 800);
            painter = test::paintRoot(xvfb->display(), {{{0, 0, 1280, 800}, 0x000000}});
            env.emplace("DISPLAY", xvfb->display().c_str());
        }
        capture = sway ? wayland::makeCaptureBackend(socket) : x11::makeCaptureBackend();
        changes = sway ? wayland::makeChangeSource(socket) : x11::makeChangeSource();
        input = sway ? wayland::makeInputBackend(socket) : x11::makeInputBackend();
    }
    // A client of the colour in its place: a terminal on sway, xlogo drawn in it alone on X11.
    void paint(std::size_t i) {
        const auto& [r, rgb] = kPaints[i];
        const std::string command = sway ? "foot --app-id=zel-" + std::to_string(i) +
                                               " -o colors.background=" + rgb + " sleep 600"
                                         : "xlogo -bw 0 -bg '#" + std::string(rgb) + "' -fg '#" +
                                               rgb + "' -geometry " + std::to_string(r.width) +
                                               "x" + std::to_string(r.height) + "+" +
                                               std::to_string(r.x) + "+" + std::to_string(r.y);
        windows.push_back(std::make_unique<test::Child>(
            std::vector<std::string>{"sh", "-c", "exec " + command + " 2>/dev/null"},
            sway ? sway->clientEnv() : std::vector<std::string>{}));
    }

    std::optional<test::Xvfb> xvfb;
    std::shared_ptr<x11::Connection> painter;
    std::optional<test::ScopedEnv> env;
    std::optional<test::Sway> sway;
    std::string socket;
    std::vector<std::unique_ptr<test::Child>> windows;
    std::shared_ptr<CaptureBackend> capture;
    std::shared_ptr<ChangeSource> changes;
    std::shared_ptr<InputBackend> input;
    int width = 1280, height = 800;
};
INSTANTIATE_TEST_SUITE_P(, DamageTiles, testing::Combine(testing::Bool(), testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "Sway" : "X11") +
                                    (std::get<1>(info.param) ? "Own" : "Scaled");
                         });

TEST_P(DamageTiles, HoldThePaintedColourAndNothingIsSentWhenNothingChanged) {
    const bool copies = std::get<1>(GetParam());
    const int scale = copies ? 1 : 2;
    const test::TempDir dir;
    const std::string file = (dir.path() / "tile").string();
    ChangeTiles tiles(capture, changes);
    const auto answer = [&](std::uint64_t since) {
        const auto body = tiles.tiles(since, copies ? 2560 : width / 2, 90, copies);
        const auto end = std::find(body.begin(), body.end(), '\n');
        return std::pair{nlohmann::json::parse(body.begin(), end),
                         std::string(end + 1, body.end())};
    };
    const auto changed = [&](std::uint64_t since, std::chrono::milliseconds limit = 5s) {
        auto promise = std::make_shared<std::promise<void>>();
        tiles.awaitChange(since, [promise] { promise->set_value(); });
        return promise->get_future().wait_for(limit) == std::future_status::ready;
    };
    ASSERT_TRUE(changed(0));
    const auto [first, firstFiles] = answer(0);
    EXPECT_EQ(std::pair(first["full"], first["tiles"].size()),
              std::pair(nlohmann::json(true), 1UL));
    std::uint64_t since = first["sequence"];
    const auto settle = [&] { // the server may still be drawing its first frames
        for (int i = 0; i < 30 && changed(since, 300ms); ++i) {
            since = answer(since).first["sequence"];
        }
    };
    settle();
    EXPECT_FALSE(changed(since, 1s)) << "a report while nothing was drawn";

    for (std::size_t i = 0; i < 2; ++i) {
        const auto& [area, rgb] = kPaints[i];
        paint(i);
        // The centre of the painted area in frame pixels, and its colour as ImageMagick reads a
        // tile's file there. A client may draw in more than one frame.
        const int cx = (area.x + area.width / 2) / scale, cy = (area.y + area.height / 2) / scale;
        bool shown = false;
        for (const auto end = std::chrono::steady_clock::now() + 10s;
             !shown && std::chrono::steady_clock::now() < end;) {
            ASSERT_TRUE(changed(since));
            auto [head, files] = answer(since);
            ASSERT_EQ(std::pair(head["full"], head["width"]),
                      std::pair(nlohmann::json(false), nlohmann::json(width / scale)));
            since = head["sequence"];
            std::size_t at = 0;
            int covering = 0;
            for (const auto& tile : head["tiles"]) {
                const int x = tile[0], y = tile[1], w = tile[2], h = tile[3];
                EXPECT_LT(w * h, width * height / scale / scale / 8)
                    << "a small change, a small tile";
                std::ofstream(file, std::ios::binary) << files.substr(at, tile[4]);
                at += tile[4].get<std::size_t>();
                const bool inside = x <= cx && y <= cy && x + w > cx && y + h > cy;
                const std::string seen =
                    test::runCommand({"convert", file, "-format",
                                      "%w %h %[hex:p{" + std::to_string(inside ? cx - x : 0) + "," +
                                          std::to_string(inside ? cy - y : 0) + "}]",
                                      "info:"})
                        .output;
                EXPECT_TRUE(seen.starts_with(std::to_string(w) + " " + std::to_string(h) + " "))
                    << seen;
                covering += inside ? 1 : 0;
                shown = shown || (inside && near(seen.substr(seen.rfind(' ') + 1), rgb));
            }
            EXPECT_EQ(at, files.size());
            EXPECT_LE(covering, 1) << head.dump();
        }
        EXPECT_TRUE(shown) << "no tile showed the painted colour";
    }
    settle();
    paint(0); // drawn again, the same pixels
    ASSERT_TRUE(changed(since));
    const auto again = answer(since).first;
    EXPECT_EQ(again["tiles"].size(), 0U) << "what the viewer has is not sent again";
    since = again["sequence"];

    // The pointer's move is reported where it went, not over the whole desktop (tiles would hide
    // that: they leave out cells whose pixels are as they were).
    std::mutex mutex;
    std::vector<ChangeRect> rects;
    const auto watch = changes->watch([&](const ChangeReport& report) {
        const std::lock_guard guard(mutex);
        rects.insert(rects.end(), report.rects.begin(), report.rects.end());
    });
    const auto covers = [](const ChangeRect& r, int x, int y) {
        return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
    };
    for (const auto& [x, y] : {std::pair{700, 400}, {150, 900}}) { // per mille
        InputActions::perform(*input,
                              nlohmann::json{{"action", "move"}, {"coordinate", {x, y}}}.dump());
        EXPECT_TRUE(test::waitUntil(
            [&, x = x, y = y] {
                const std::lock_guard guard(mutex);
                return std::ranges::any_of(rects, [&](const ChangeRect& r) {
                    return covers(r, width * x / 1000, height * y / 1000) &&
                           !covers(r, width - 20, 20);
                });
            },
            5s))
            << x;
    }

    // The server goes: the watch ends, and starting another names why it cannot.
    windows.clear();
    sway.reset();
    painter.reset();
    if (xvfb) {
        xvfb->stop();
    }
    EXPECT_TRUE(test::waitUntil(
        [&] {
            return test::errorText([&] { tiles.awaitChange(since, [] {}); })
                .starts_with("Change tracking is not available: Cannot connect");
        },
        10s));
}

} // namespace
} // namespace zel
