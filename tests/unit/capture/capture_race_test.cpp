// The frame receiver and the time-out race over a scripted stream: which frame wins, which error
// passes, when the stream is stopped, and that nothing of a capture outlives the call.
#include "base/app_error.hpp"
#include "capture/first_frame_waiter.hpp"
#include "capture/screenshot.hpp"
#include "tests/support/fakes/fake_capture.hpp"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace {

namespace shot = zel::Screenshot;
using namespace std::chrono_literals;
using Output = zel::FirstFrameWaiter;

using zel::test::FakeCaptureBackend;
using zel::test::FakeFrameStream;
using zel::test::taggedImage;
using zel::test::Then;

std::string failureText(FakeCaptureBackend& backend, int width) {
    try {
        shot::capture(backend, "jpeg", width, 62);
    } catch (const zel::AppError& error) {
        return "AppError: " + error.message; // the platform's errors must stay what they are
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no failure)";
}

TEST(CaptureFrame, OutcomesOnTheFirstDisplayStopOnlyStartedStreams) {
    struct Case {
        zel::test::StreamScript script;
        int streamsMade, starts, stops;
        std::string text;
    };
    const Case cases[] = {
        {{}, 1, 1, 1, "(no failure)"},
        {{.noDisplay = true}, 0, 0, 0, "AppError: No display is available."},
        {{.failStart = true}, 1, 1, 0, "capture start refused"},
        {{.then = Then::fail}, 1, 1, 1, "display went away"},
        {{.then = Then::end}, 1, 1, 1, "AppError: No screen frame returned."},
        {{.then = Then::nothing}, 1, 1, 1, "AppError: Timed out waiting for screen frame."},
        {{.frame = 70000, .width = 80000}, 1, 1, 1, "AppError: Unable to encode screenshot."},
    }; // The time-out waits 8 s; the encode fails on a frame wider than JPEG allows.
    for (const Case& c : cases) {
        FakeCaptureBackend backend(c.script);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(failureText(backend, c.script.width), c.text);
        if (c.script.then == Then::nothing) {
            EXPECT_GE(std::chrono::steady_clock::now() - started, 8s);
        }
        const auto& r = backend.record;
        EXPECT_EQ((std::array<int, 4>{r.streamsMade, r.starts, r.stops, r.live}),
                  (std::array<int, 4>{c.streamsMade, c.starts, c.stops, 0}))
            << c.text;
        EXPECT_EQ(r.displayId, c.streamsMade != 0 ? "first" : "") << c.text;
    }
}

TEST(FrameReceiver, BackToBackFramesResumeOnceAndNoFrameIsKeptForALaterWait) {
    Output output;
    zel::test::StreamRecord record;
    FakeFrameStream stream({}, record);
    std::optional<Output::Outcome> outcome;
    std::atomic<bool> waited{false};
    std::thread waiter([&] {
        outcome = output.waitForFrame(10s);
        waited = true;
    });
    // Frames before the wait find no waiter and are dropped; the first one after it wins.
    int tag = 0;
    while (!waited) {
        output.frameArrived(stream, taggedImage(++tag % 200 + 1));
        output.frameArrived(stream, taggedImage(++tag % 200 + 1));
        std::this_thread::yield();
    }
    waiter.join();
    ASSERT_TRUE(outcome && std::holds_alternative<zel::Image>(*outcome));
    EXPECT_TRUE(std::holds_alternative<Output::TimedOut>(output.waitForFrame(20ms)));
    output.frameArrived(stream,
                        taggedImage(7)); // the lost race took its waiter back: nobody to resume
    EXPECT_TRUE(std::holds_alternative<Output::TimedOut>(output.waitForFrame(20ms)));
}

} // namespace
