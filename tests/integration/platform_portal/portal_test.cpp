// The portal backends under a private headless mutter, its dialogs answered through mutter's own
// input interface: what the requests say before and after each answer; once allowed, a client shows
// in the frame where the requests of every platform's table reach it, and a new run shares the
// screen again without asking.
#include "capture/main_process_screenshot.hpp"
#include "platform/portal/portal_backends.hpp"
#include "tests/support/input_arrivals.hpp"
#include "tests/support/mutter.hpp"
#include "tests/support/stream_frame.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <gtest/gtest.h>
#include <optional>
#include <thread>

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
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
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

TEST(PortalBackends, AnswersOfTheDialogsDecideWhatRequestsSay) {
    const struct {
        bool allowScreen;
        bool allowControl;
        std::string screenshot;
        std::string input;
    } kCases[] = {
        {false, false, portal::kScreenRefusedText, portal::kScreenRefusedText},
        {true, false, "", portal::kControlRefusedText},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.allowScreen);
        test::Mutter mutter;
        const test::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", mutter.busAddress().c_str());
        const auto session = std::make_shared<Session>(mutter.path("state"));
        const auto capture = portal::makeCaptureBackend(session);
        const auto input = portal::makeInputBackend(session);
        const std::string click = R"({"action":"left_click","coordinate":[500,500]})";
        // The first requests start the session and say so.
        EXPECT_EQ(test::errorText([&] { capture->displays(); }), portal::kScreenWaitingText);
        EXPECT_EQ(test::errorText([&] { MainProcessInput::perform(*input, click); }),
                  portal::kControlWaitingText);
        ASSERT_TRUE(mutter.answerDialog(test::Mutter::Dialog::screen, c.allowScreen, [&] {
            return settled(*session, Session::Part::screen);
        })) << mutter.logs();
        if (c.allowScreen) {
            ASSERT_TRUE(mutter.answerDialog(
                test::Mutter::Dialog::control, c.allowControl,
                [&] { return settled(*session, Session::Part::control); },
                [&] { return dialogUp(*capture); }));
        }
        EXPECT_EQ(
            test::errorText([&] { MainProcessScreenshot::capture(*capture, "jpeg", 960, 70); }),
            c.screenshot);
        EXPECT_EQ(test::errorText([&] { MainProcessInput::perform(*input, click); }), c.input);
    }
}

TEST(PortalBackends, AClientShowsWhereInputReachesItAndANewRunSharesWithoutAsking) {
    test::Mutter mutter;
    const test::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", mutter.busAddress().c_str());
    auto session = std::make_shared<Session>(mutter.path("state"));
    auto capture = portal::makeCaptureBackend(session);
    auto input = portal::makeInputBackend(session);
    session->begin();
    ASSERT_TRUE(mutter.answerDialog(test::Mutter::Dialog::screen, true, [&] {
        return settled(*session, Session::Part::screen);
    })) << mutter.logs();
    ASSERT_TRUE(mutter.answerDialog(
        test::Mutter::Dialog::control, true,
        [&] { return settled(*session, Session::Part::control); },
        [&] { return dialogUp(*capture); }));
    ASSERT_EQ(session->state(Session::Part::control), Session::State::running);
    ASSERT_TRUE(input->trusted());

    const std::string log = mutter.path("wev.log");
    const test::Child wev({"sh", "-c", "exec stdbuf -oL wev >\"$0\" 2>&1", log},
                          mutter.clientEnv());
    std::optional<Area> area;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!area && std::chrono::steady_clock::now() < deadline) {
        area = greyArea(frame(*capture));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(area) << "wev's surface never showed";

    test::Recorder recorder{log,     test::parseWev, {0, 0, 1920, 1080}, area->x,
                            area->y, area->width,    area->height,       false};
    test::expectArrivals(*input, recorder, {"a!"}); // the layout's characters only

    // The app's next run: the screen comes back with the kept token, only control is asked for.
    input.reset();
    capture.reset();
    session.reset();
    session = std::make_shared<Session>(mutter.path("state"));
    capture = portal::makeCaptureBackend(session);
    EXPECT_EQ(test::errorText([&] { MainProcessScreenshot::capture(*capture, "png", 640, 80); }),
              "");
    EXPECT_EQ(session->state(Session::Part::control), Session::State::waiting);
}

} // namespace
} // namespace zel
