// The frame receiver and the time-out race over a scripted stream: which frame wins, which error
// passes, when the stream is stopped, and that nothing of a capture outlives the call.
#include "app/app_error.hpp"
#include "capture/frame_receiver.hpp"
#include "capture/main_process_screenshot.hpp"

#include <atomic>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

namespace {

namespace shot = zel::MainProcessScreenshot;
using namespace std::chrono_literals;
using Output = zel::MainProcessScreenshotOutput;

zel::Image tagged(int tag, int width = 4, int height = 4) {
    zel::Image image(width, height);
    std::fill_n(image.data(), image.bytes().size(), static_cast<std::uint8_t>(tag));
    return image;
}

enum class Then { frames, nothing, fail, end };
struct Script {
    bool failRegistration = false, failStart = false;
    Then then = Then::frames;
    int frameWidth = 4;
};

struct Record {
    std::atomic<int> streamsMade{0}, starts{0}, stops{0}, live{0};
    std::string displayId;
};

class ScriptedStream final : public zel::FrameStream {
public:
    ScriptedStream(Script script, Record& record) : script_(script), record_(record) {
        ++record_.live;
    }
    ~ScriptedStream() override {
        thread_ = {}; // stops and joins
        --record_.live;
    }
    void addStreamOutput(std::shared_ptr<zel::FrameStreamOutput> output) override {
        if (script_.failRegistration) {
            throw std::runtime_error("output registration refused");
        }
        output_ = std::move(output);
    }
    void startCapture() override {
        if (++record_.starts; script_.failStart) {
            throw std::runtime_error("capture start refused");
        }
        output_->stream(*this, tagged(99)); // arrives before the wait: must be dropped
        thread_ = std::jthread([this](const std::stop_token& stop) {
            ++record_.live;
            for (int tag = 1; (std::this_thread::sleep_for(5ms), !stop.stop_requested()); ++tag) {
                if (script_.then == Then::frames) {
                    output_->stream(*this, tagged(tag, script_.frameWidth, 1));
                } else if (script_.then != Then::nothing) {
                    output_->streamDidStop(*this, script_.then == Then::end
                                                      ? nullptr
                                                      : std::make_exception_ptr(std::runtime_error(
                                                            "display went away")));
                    break;
                }
            }
            --record_.live;
        });
    }
    void stopCapture() noexcept override {
        record_.stops += thread_.joinable() && thread_.request_stop() ? 1 : 0;
    }

private:
    Script script_;
    Record& record_;
    std::shared_ptr<zel::FrameStreamOutput> output_;
    std::jthread thread_;
};

class ScriptedBackend final : public zel::CaptureBackend {
public:
    ScriptedBackend(Script script, std::vector<zel::CaptureDisplay> displays)
        : script_(script), displays_(std::move(displays)) {}
    std::vector<zel::CaptureDisplay> displays() override { return displays_; }
    std::unique_ptr<zel::FrameStream> makeStream(const zel::CaptureDisplay& display,
                                                 const zel::StreamConfiguration& /*cfg*/) override {
        ++record.streamsMade;
        record.displayId = display.id;
        return std::make_unique<ScriptedStream>(script_, record);
    }
    Record record;

private:
    Script script_;
    std::vector<zel::CaptureDisplay> displays_;
};

const std::vector<zel::CaptureDisplay> kDisplays = {{"first", 1440, 900}, {"second", 800, 600}};

std::string failureText(ScriptedBackend& backend, int width) {
    try {
        shot::capture(backend, "jpeg", width, 62);
    } catch (const zel::AppError& error) {
        return "AppError: " + error.message; // the platform's errors must stay what they are
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no failure)";
}

TEST(CaptureFrame, FirstDisplayLaterFrameAndNothingOutlivesTheCall) {
    ScriptedBackend backend({}, kDisplays);
    EXPECT_EQ(shot::captureFrame(backend, 960).data()[0], 1);
    EXPECT_EQ(backend.record.displayId, "first");
    EXPECT_EQ(backend.record.stops + backend.record.live, 1);
}

TEST(CaptureFrame, FailuresPassTheirTextAndStopOnlyStartedStreams) {
    struct Case {
        Script script;
        std::vector<zel::CaptureDisplay> displays;
        int width;
        std::string text;
        int streamsMade, starts, stops;
    };
    const Case cases[] = {
        {{}, {}, 960, "AppError: No display is available.", 0, 0, 0},
        {{.failRegistration = true}, kDisplays, 960, "output registration refused", 1, 0, 0},
        {{.failStart = true}, kDisplays, 960, "capture start refused", 1, 1, 0},
        {{.then = Then::fail}, kDisplays, 960, "display went away", 1, 1, 1},
        {{.then = Then::end}, kDisplays, 960, "AppError: No screen frame returned.", 1, 1, 1},
        // The only case slower than a second: the time-out at 8 s.
        {{.then = Then::nothing},
         kDisplays,
         960,
         "AppError: Timed out waiting for screen frame.",
         1,
         1,
         1},
        // Wider than JPEG allows.
        {{.frameWidth = 70000},
         kDisplays,
         80000,
         "AppError: Unable to encode screenshot.",
         1,
         1,
         1},
    };
    for (const Case& c : cases) {
        ScriptedBackend backend(c.script, c.displays);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(failureText(backend, c.width), c.text);
        const auto elapsed = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(elapsed >= 8s, c.script.then == Then::nothing) << c.text;
        EXPECT_LT(elapsed, 10s) << c.text; // generous: only an ignored time-out passes 10 s
        const Record& r = backend.record;
        EXPECT_EQ((std::array<int, 4>{r.streamsMade, r.starts, r.stops, r.live}),
                  (std::array<int, 4>{c.streamsMade, c.starts, c.stops, 0}))
            << c.text;
    }
}

class ManualStream final : public zel::FrameStream {
public:
    void addStreamOutput(std::shared_ptr<zel::FrameStreamOutput>) override {}
    void startCapture() override {}
    void stopCapture() noexcept override {}
};

TEST(FrameReceiver, BackToBackFramesResumeOnceAndNoFrameIsKeptForALaterWait) {
    Output output;
    ManualStream stream;
    std::optional<Output::Outcome> outcome;
    std::thread waiter([&] { outcome = output.waitForFrame(10s); });
    while (!output.isWaiting()) {
        std::this_thread::yield();
    }
    output.stream(stream, tagged(1));
    output.stream(stream, tagged(2));
    waiter.join();
    ASSERT_TRUE(outcome && std::holds_alternative<zel::Image>(*outcome));
    EXPECT_EQ(std::get<zel::Image>(*outcome).data()[0], 1);
    EXPECT_TRUE(std::holds_alternative<Output::TimedOut>(output.waitForFrame(20ms)));
    output.stream(stream, tagged(7)); // an abandoned wait leaves no waiter for a late frame
    EXPECT_TRUE(std::holds_alternative<Output::TimedOut>(output.waitForFrame(10ms)));
}

} // namespace
