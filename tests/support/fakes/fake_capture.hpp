// A capture backend whose streams follow a script: frames every 5 ms, nothing, an error or a
// plain end, or a refusal to start. It counts what was made, started, stopped
// and is still alive (streams and their threads), so that a test sees what a capture left behind.
#pragma once

#include "capture/capture_backend.hpp"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

namespace zel::test {

inline Image taggedImage(int tag, int width = 4) {
    Image image(width, 1);
    std::fill_n(image.data(), image.bytes().size(), static_cast<std::uint8_t>(tag));
    return image;
}

enum class Then { frames, nothing, fail, end };
struct StreamScript {
    bool noDisplay = false, failStart = false;
    Then then = Then::frames;
    int frame = 4, width = 960; // frame width; the width a test asks for
};

struct StreamRecord {
    std::atomic<int> streamsMade{0}, starts{0}, stops{0}, live{0};
    std::string displayId;
};

class FakeFrameStream final : public FrameStream {
public:
    FakeFrameStream(StreamScript script, StreamRecord& record) : script_(script), record_(record) {
        ++record_.live;
    }
    ~FakeFrameStream() override {
        thread_ = {}; // stops and joins
        --record_.live;
    }
    void addStreamOutput(std::shared_ptr<FrameStreamOutput> output) override {
        output_ = std::move(output);
    }
    void startCapture() override {
        if (++record_.starts; script_.failStart) {
            throw std::runtime_error("capture start refused");
        }
        thread_ = std::jthread([this](const std::stop_token& stop) {
            using namespace std::chrono_literals;
            ++record_.live;
            for (int tag = 1; (std::this_thread::sleep_for(5ms), !stop.stop_requested()); ++tag) {
                if (script_.then == Then::frames) {
                    output_->frameArrived(*this, taggedImage(tag, script_.frame));
                } else if (script_.then != Then::nothing) {
                    output_->streamEnded(*this, script_.then == Then::end
                                                    ? nullptr
                                                    : std::make_exception_ptr(
                                                          std::runtime_error("display went away")));
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
    StreamScript script_;
    StreamRecord& record_;
    std::shared_ptr<FrameStreamOutput> output_;
    std::jthread thread_;
};

// Two displays, "first" 1440 x 900 and "second" 800 x 600, or none.
class FakeCaptureBackend final : public CaptureBackend {
public:
    explicit FakeCaptureBackend(StreamScript script = {}) : script_(script) {}
    std::vector<CaptureDisplay> displays() override {
        if (script_.noDisplay) {
            return {};
        }
        return {{"first", 1440, 900}, {"second", 800, 600}};
    }
    std::unique_ptr<FrameStream> makeStream(const CaptureDisplay& display,
                                            const StreamConfiguration& /*cfg*/) override {
        ++record.streamsMade;
        record.displayId = display.id;
        return std::make_unique<FakeFrameStream>(script_, record);
    }
    StreamRecord record;

private:
    StreamScript script_;
};

} // namespace zel::test
