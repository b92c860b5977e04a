// The portal backends under a private headless mutter, its dialogs answered through mutter's own
// input interface: what the requests say before and after each answer, a "no" asked about again
// at the next connection start; once allowed, a client shows in the frame where the requests of
// every platform's table reach it, its drawing and the pointer's move come as change tiles (nothing
// comes on a still screen), and a new run shares the screen again without asking.
#include "base/agent_log.hpp"
#include "capture/change_tiles.hpp"
#include "capture/screenshot.hpp"
#include "platform/portal/frame_changes.hpp"
#include "platform/portal/portal_backends.hpp"
#include "tests/support/input_arrivals.hpp"
#include "tests/support/mutter.hpp"
#include "tests/support/stream_frame.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

namespace zel {
namespace {

using portal::Session;

bool settled(const Session& session, Session::Part part) {
    return session.state(part) != Session::State::waiting;
}

Image frame(CaptureBackend& backend) {
    return test::streamFrame(backend, backend.displays().at(0));
}

bool dialogUp(CaptureBackend& backend) {
    const Image image = frame(backend);
    return test::dialogShown([&](int x, int y) { return test::pixelAt(image, x, y); });
}

struct Area {
    int x = 0, y = 0, width = 0, height = 0;
};

// wev's surface: a grey checkerboard on mutter's blue background. Its top row is the first with
// a long grey run (the cursor makes only short ones).
std::optional<Area> greyArea(const Image& image) {
    const auto grey = [&](int x, int y) {
        const auto [r, g, b] = test::pixelAt(image, x, y);
        return r == g && g == b && r > 0x30;
    };
    for (int y = 0; y < image.height(); ++y) {
        int run = 0;
        for (int x = 0; x < image.width(); ++x) {
            run = grey(x, y) ? run + 1 : 0;
            if (run == 200) {
                Area area{x - run + 1, y, 0, 0};
                while (area.x + area.width < image.width() && grey(area.x + area.width, y)) {
                    ++area.width;
                }
                while (area.y + area.height < image.height() &&
                       grey(area.x + 1, area.y + area.height)) {
                    ++area.height;
                }
                return area;
            }
        }
    }
    return std::nullopt;
}

// One desktop: a run told "no" to the screen, then at the next connection start "yes" to it and
// "no" to control; a run told "yes" to both; that run's next one.
TEST(PortalBackends, AnswersDecideWhatRequestsSayAndInputReachesAClientOnceAllowed) {
    test::Mutter mutter;
    const test::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", mutter.busAddress().c_str());
    // What the session tells the window: the user's text of a "no", empty once asked again.
    std::mutex toldMutex;
    std::string told = "nothing";
    const auto tells = [&](const std::string& text) {
        return test::waitUntil(
            [&] {
                const std::lock_guard guard(toldMutex);
                return told == text;
            },
            std::chrono::seconds(5));
    };
    std::shared_ptr<Session> session;
    std::shared_ptr<CaptureBackend> capture;
    std::unique_ptr<InputBackend> input;
    std::shared_ptr<ChangeSource> changes;
    const auto run = [&](const std::string& state) { // the app's run, its token kept in `state`
        changes.reset();
        input.reset();
        capture.reset();
        session.reset();
        session = std::make_shared<Session>(mutter.path(state));
        session->setListener([&](const std::string& problem) {
            const std::lock_guard guard(toldMutex);
            told = problem;
        });
        auto backends = portal::makeBackends(session);
        capture = std::move(backends.capture);
        input = std::move(backends.input);
        changes = std::move(backends.changes);
    };
    const auto screenshot = [&] {
        return test::errorText([&] { Screenshot::capture(*capture, "png", 640, 80); });
    };
    const auto click = [&] {
        return test::errorText([&] {
            InputActions::perform(*input, R"({"action":"left_click","coordinate":[500,500]})");
        });
    };
    const auto answer = [&](test::Mutter::Dialog dialog, bool allow) {
        const auto part =
            dialog == test::Mutter::Dialog::screen ? Session::Part::screen : Session::Part::control;
        return mutter.answerDialog(
            dialog, allow, [&] { return settled(*session, part); },
            [&] { return part == Session::Part::screen || dialogUp(*capture); });
    };
    // The first requests start the session and say so.
    run("refused");
    EXPECT_EQ(test::errorText([&] { capture->displays(); }), portal::kScreenWaitingText);
    EXPECT_EQ(click(), portal::kControlWaitingText);
    ASSERT_TRUE(answer(test::Mutter::Dialog::screen, false)) << mutter.logs();
    EXPECT_EQ(std::pair(screenshot(), click()),
              (std::pair<std::string, std::string>(portal::kScreenRefusedText,
                                                   portal::kScreenRefusedText)));
    EXPECT_TRUE(tells(portal::kScreenRefusedText));
    session->begin(true);
    EXPECT_TRUE(tells(""));
    ASSERT_TRUE(answer(test::Mutter::Dialog::screen, true)) << mutter.logs();
    ASSERT_EQ(session->state(Session::Part::screen), Session::State::running) << mutter.logs();
    ASSERT_TRUE(answer(test::Mutter::Dialog::control, false));
    EXPECT_EQ(std::pair(screenshot(), click()),
              (std::pair<std::string, std::string>("", portal::kControlRefusedText)));
    EXPECT_TRUE(tells(portal::kControlRefusedText));
    run("allowed");
    session->begin();
    ASSERT_TRUE(answer(test::Mutter::Dialog::screen, true)) << mutter.logs();
    ASSERT_TRUE(answer(test::Mutter::Dialog::control, true));
    ASSERT_EQ(session->state(Session::Part::control), Session::State::running);
    ASSERT_TRUE(input->trusted());

    // The live view's tiles: after the first whole frame, nothing while nothing is drawn.
    using namespace std::chrono_literals;
    ChangeTiles tiles(capture, changes);
    const auto changed = [&](std::uint64_t since, std::chrono::milliseconds limit = 5s) {
        auto promise = std::make_shared<std::promise<void>>();
        tiles.awaitChange(since, [promise] { promise->set_value(); });
        return promise->get_future().wait_for(limit) == std::future_status::ready;
    };
    const auto tilesAfter = [&](std::uint64_t since) {
        const auto body = tiles.tiles(since, 1920, 80, false);
        return nlohmann::json::parse(body.begin(), std::find(body.begin(), body.end(), '\n'));
    };
    ASSERT_TRUE(changed(0)) << "the watch's first report never came";
    std::uint64_t since = tilesAfter(0)["sequence"];
    for (int i = 0; i < 30 && changed(since, 500ms); ++i) { // the dialogs' closing, the warm-up
        since = tilesAfter(since)["sequence"];
    }
    EXPECT_FALSE(changed(since, 1500ms)) << "a change while nothing was drawn";

    const std::string log = mutter.path("wev.log");
    const test::Child wev({"sh", "-c", "exec stdbuf -oL wev >\"$0\" 2>&1", log},
                          mutter.clientEnv());
    std::optional<Area> area;
    ASSERT_TRUE(test::waitUntil([&] { return (area = greyArea(frame(*capture))).has_value(); },
                                std::chrono::seconds(15)))
        << "wev's surface never showed";
    // Its surface comes in the tiles (whole, where it covers much of the screen).
    ASSERT_TRUE(changed(since));
    const nlohmann::json drawn = tilesAfter(since);
    const auto overlaps = [](const nlohmann::json& tile, const Area& a) {
        const int x = tile[0], y = tile[1], w = tile[2], h = tile[3];
        return x < a.x + a.width && a.x < x + w && y < a.y + a.height && a.y < y + h;
    };
    EXPECT_TRUE(std::ranges::any_of(drawn["tiles"], [&](const auto& t) {
        return overlaps(t, *area);
    })) << drawn.dump();
    // The pointer's move (the cursor is in the frames) comes as small tiles where it went.
    since = drawn["sequence"];
    for (int i = 0; i < 30 && changed(since, 500ms); ++i) {
        since = tilesAfter(since)["sequence"];
    }
    InputActions::perform(*input, R"({"action":"move","coordinate":[700,400]})");
    ASSERT_TRUE(changed(since));
    const nlohmann::json moved = tilesAfter(since);
    EXPECT_EQ(moved["full"], false) << moved.dump();
    EXPECT_TRUE(std::ranges::any_of(moved["tiles"], [&](const auto& t) {
        return overlaps(t, {1344, 432, 1, 1});
    })) << moved.dump();
    for (const auto& tile : moved["tiles"]) {
        EXPECT_LT(tile[2].get<int>() * tile[3].get<int>(), 1920 * 1080 / 16) << moved.dump();
    }

    test::Recorder recorder{log,     test::parseWev, {0, 0, 1920, 1080}, area->x,
                            area->y, area->width,    area->height,       false};
    test::expectArrivals(*input, recorder, {"a!"}); // the layout's characters only

    // The app's next run: the screen comes back with the kept token, only control is asked for.
    // The token shares the screen without a dialog: its file is the owner's alone.
    const auto kept =
        std::filesystem::status(mutter.path("allowed") + "/screencast-restore-token").permissions();
    EXPECT_EQ(kept & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    run("allowed");
    EXPECT_EQ(screenshot(), "");
    EXPECT_EQ(session->state(Session::Part::control), Session::State::waiting);
}

// A desktop whose bus is gone: the user reads what to do, the log keeps the portal's detail.
TEST(PortalBackends, AFailureSaysWhatToDoAndLogsItsCause) {
    test::TempDir dir;
    const test::ScopedEnv state("XDG_STATE_HOME", dir.path().c_str());
    const std::string gone = "unix:path=" + (dir.path() / "no-bus").string();
    const test::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", gone.c_str());
    std::mutex toldMutex;
    std::string told;
    const auto session = std::make_shared<Session>(dir.path().string());
    session->setListener([&](const std::string& problem) {
        const std::lock_guard guard(toldMutex);
        told = problem;
    });
    const auto backends = portal::makeBackends(session);
    session->begin();
    ASSERT_TRUE(test::waitUntil([&] { return settled(*session, Session::Part::control); },
                                std::chrono::seconds(10)));
    EXPECT_EQ(test::errorText([&] { backends.capture->displays(); }), portal::kPortalFailedText);
    EXPECT_EQ(test::errorText(
                  [&] { InputActions::perform(*backends.input, R"({"action":"key","key":"a"})"); }),
              portal::kPortalFailedText);
    EXPECT_TRUE(test::waitUntil(
        [&] {
            const std::lock_guard guard(toldMutex);
            return told == portal::kPortalFailedText;
        },
        std::chrono::seconds(5)));
    session->setListener({});
    const std::string log = test::readFile(logURL());
    EXPECT_NE(log.find("Desktop portal: The session bus cannot be reached"), std::string::npos)
        << log;
}

// Where a portal frame changed when its buffer says nothing about damage, and where a frame's
// pixels lie on a scaled or moved monitor.
TEST(PortalFrameChanges, ChangedCellsAreJoinedInRunsOfTheirRow) {
    // 100×70 pixels in cells of 32: a row of cells 0..31, 32..63, 64..69 high.
    struct Case {
        const char* name;
        std::vector<std::pair<int, int>> changedPixels;
        std::vector<ChangeRect> expected;
    };
    const Case kCases[] = {
        {"still", {}, {}},
        {"one pixel", {{40, 10}}, {{32, 0, 32, 32}}},
        {"neighbours join", {{0, 0}, {33, 5}}, {{0, 0, 64, 32}}},
        {"a gap splits", {{0, 0}, {70, 5}}, {{0, 0, 32, 32}, {64, 0, 32, 32}}},
        {"the ragged edge", {{99, 69}}, {{96, 64, 4, 6}}},
        {"two rows", {{5, 5}, {5, 40}}, {{0, 0, 32, 32}, {0, 32, 32, 32}}},
    };
    for (const Case& c : kCases) {
        Image before(100, 70);
        std::memset(before.data(), 0x40, before.bytes().size());
        Image after(100, 70);
        std::memcpy(after.data(), before.data(), before.bytes().size());
        for (const auto& [x, y] : c.changedPixels) {
            after.data()[y * after.stride() + static_cast<std::size_t>(x) * 4 + 1] = 0x99;
        }
        EXPECT_EQ(portal::changedCells(std::as_const(before).view(), std::as_const(after).view()),
                  c.expected)
            << c.name;
    }
    const Image small(10, 10);
    const Image large(20, 10);
    EXPECT_EQ(portal::changedCells(small.view(), large.view()),
              (std::vector<ChangeRect>{{0, 0, 20, 10}}))
        << "another size changes everything";
}

TEST(PortalFrameChanges, FramePixelsLandOnTheMonitor) {
    const ChangeRect kMonitor{1920, 100, 1280, 720};
    const std::tuple<ChangeRect, int, int, ChangeRect> kCases[] = {
        {{10, 20, 30, 40}, 1280, 720, {1930, 120, 30, 40}},
        // Scale 2: 2560×1440 pixels on 1280×720 units; odd edges widen to the whole unit.
        {{11, 21, 30, 40}, 2560, 1440, {1925, 110, 16, 21}},
        {{1200, 700, 500, 500}, 1280, 720, {3120, 800, 80, 20}}, // clipped to the frame
    };
    for (const auto& [rect, width, height, expected] : kCases) {
        EXPECT_EQ(portal::onMonitor(rect, width, height, kMonitor), expected) << width;
    }
}

} // namespace
} // namespace zel
