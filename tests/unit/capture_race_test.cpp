// The frame receiver and the time-out race over a scripted stream: which frame wins, which error
// passes, when the stream is stopped, and that nothing of a capture outlives the call.
#include "base/app_error.hpp"
#include "capture/main_process_screenshot.hpp"
#include "capture/main_process_screenshot_output.hpp"

#include <atomic>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

namespace {

namespace shot = zel::MainProcessScreenshot;
using namespace std::chrono_literals;
using Output = zel::MainProcessScreenshotOutput;

zel::Image tagged(int tag, int width = 4) {
    zel::Image image(width, 1);
    std::fill_n(image.data(), image.bytes().size(), static_cast<std::uint8_t>(tag));
    return image;
}

enum class Then { frames, nothing, fail, end };
struct Script {
    bool noDisplay = false, failRegistration = false, failStart = false;
    Then then = Then::frames;
    int frame = 4, width = 960; // frame width, requested width
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
        thread_ = std::jthread([this](const std::stop_token& stop) {
            ++record_.live;
            for (int tag = 1; (std::this_thread::sleep_for(5ms), !stop.stop_requested()); ++tag) {
                if (script_.then == Then::frames) {
                    output_->stream(*this, tagged(tag, script_.frame));
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

using Displays = std::vector<zel::CaptureDisplay>;
const Displays kDisplays = {{"first", 1440, 900}, {"second", 800, 600}};

class ScriptedBackend final : public zel::CaptureBackend {
public:
    explicit ScriptedBackend(Script script) : script_(script) {}
    Displays displays() override { return script_.noDisplay ? Displays{} : kDisplays; }
    std::unique_ptr<zel::FrameStream> makeStream(const zel::CaptureDisplay& display,
                                                 const zel::StreamConfiguration& /*cfg*/) override {
        ++record.streamsMade;
        record.displayId = display.id;
        return std::make_unique<ScriptedStream>(script_, record);
    }
    Record record;

private:
    Script script_;
};

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

TEST(CaptureFrame, OutcomesOnTheFirstDisplayStopOnlyStartedStreams) {
    struct Case {
        Script script;
        int streamsMade, starts, stops;
        std::string text;
    };
    const Case cases[] = {
        {{}, 1, 1, 1, "(no failure)"},
        {{.noDisplay = true}, 0, 0, 0, "AppError: No display is available."},
        {{.failRegistration = true}, 1, 0, 0, "output registration refused"},
        {{.failStart = true}, 1, 1, 0, "capture start refused"},
        {{.then = Then::fail}, 1, 1, 1, "display went away"},
        {{.then = Then::end}, 1, 1, 1, "AppError: No screen frame returned."},
        {{.then = Then::nothing}, 1, 1, 1, "AppError: Timed out waiting for screen frame."},
        {{.frame = 70000, .width = 80000}, 1, 1, 1, "AppError: Unable to encode screenshot."},
    }; // The time-out waits 8 s; the encode fails on a frame wider than JPEG allows.
    for (const Case& c : cases) {
        ScriptedBackend backend(c.script);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(failureText(backend, c.script.width), c.text);
        EXPECT_EQ(std::chrono::steady_clock::now() - started >= 8s, c.script.then == Then::nothing)
            << c.text;
        const Record& r = backend.record;
        EXPECT_EQ((std::array<int, 4>{r.streamsMade, r.starts, r.stops, r.live}),
                  (std::array<int, 4>{c.streamsMade, c.starts, c.stops, 0}))
            << c.text;
        EXPECT_EQ(r.displayId, c.streamsMade != 0 ? "first" : "") << c.text;
    }
}

TEST(FrameReceiver, BackToBackFramesResumeOnceAndNoFrameIsKeptForALaterWait) {
    Output output;
    Record record;
    ScriptedStream stream({}, record);
    std::optional<Output::Outcome> outcome;
    std::atomic<bool> waited{false};
    std::thread waiter([&] {
        outcome = output.waitForFrame(10s);
        waited = true;
    });
    // Frames before the wait find no waiter and are dropped; the first one after it wins.
    int tag = 0;
    while (!waited) {
        output.stream(stream, tagged(++tag % 200 + 1));
        output.stream(stream, tagged(++tag % 200 + 1));
        std::this_thread::yield();
    }
    waiter.join();
    ASSERT_TRUE(outcome && std::holds_alternative<zel::Image>(*outcome));
    EXPECT_TRUE(std::holds_alternative<Output::TimedOut>(output.waitForFrame(20ms)));
    output.stream(stream, tagged(7)); // the lost race took its waiter back: nobody to resume
    EXPECT_TRUE(std::holds_alternative<Output::TimedOut>(output.waitForFrame(20ms)));
}

} // namespace
