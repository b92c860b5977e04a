// A desktop of one display for change tracking: the test paints its pixels and says what was drawn.
// The capture backend serves the pixels as frames of the asked size, the change source reports on
// command (its watch's first report says everything, as a platform's does), and its area grabber,
// when it has one, reads the pixels in place. Each counts what it did, so that a test sees whether
// an answer captured, grabbed or did neither. And the tiles route's answers read back.
#pragma once

#include "capture/capture_backend.hpp"
#include "capture/change_source.hpp"
#include "capture/image_scaling.hpp"
#include "capture/tile_plan.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zel::test {

// The desktop's pixels, read and painted from any thread.
class ScriptedScreen {
public:
    ScriptedScreen(int width, int height, std::uint32_t colour) : image_(width, height) {
        paint({0, 0, width, height}, colour);
    }

    // Fills the part of `area` inside the screen with 0xRRGGBB.
    void paint(const ChangeRect& area, std::uint32_t colour) {
        const std::lock_guard guard(mutex_);
        const std::uint8_t pixel[4] = {static_cast<std::uint8_t>(colour),
                                       static_cast<std::uint8_t>(colour >> 8U),
                                       static_cast<std::uint8_t>(colour >> 16U), 0xff};
        for (int y = std::max(0, area.y); y < std::min(image_.height(), area.y + area.height);
             ++y) {
            for (int x = std::max(0, area.x); x < std::min(image_.width(), area.x + area.width);
                 ++x) {
                std::memcpy(image_.data() + y * image_.stride() + static_cast<std::size_t>(x) * 4,
                            pixel, 4);
            }
        }
    }

    // A new size, all of one colour.
    void resize(int width, int height, std::uint32_t colour) {
        {
            const std::lock_guard guard(mutex_);
            image_ = Image(width, height);
        }
        paint({0, 0, width, height}, colour);
    }

    CaptureDisplay display() const {
        const std::lock_guard guard(mutex_);
        return {"screen", image_.width(), image_.height()};
    }

    // The whole screen scaled into `into`; false when it could not be.
    bool scaleTo(PixelView into) const {
        const std::lock_guard guard(mutex_);
        return scaleInto(image_.view(), into);
    }

    // The pixels of `area` (inside the screen) into `into`, which is the area's size.
    void read(const ChangeRect& area, PixelView into) const {
        const std::lock_guard guard(mutex_);
        if (area.x < 0 || area.y < 0 || area.x + area.width > image_.width() ||
            area.y + area.height > image_.height() || into.width != area.width ||
            into.height != area.height) {
            throw std::invalid_argument("The area is not on the screen.");
        }
        for (int y = 0; y < area.height; ++y) {
            std::memcpy(into.data + y * into.stride,
                        image_.data() + (area.y + y) * image_.stride() +
                            static_cast<std::size_t>(area.x) * 4,
                        static_cast<std::size_t>(area.width) * 4);
        }
    }

    // The colour (0xRRGGBB) at a pixel.
    std::uint32_t at(int x, int y) const {
        const std::lock_guard guard(mutex_);
        const std::uint8_t* p =
            image_.data() + y * image_.stride() + static_cast<std::size_t>(x) * 4;
        return p[0] | (p[1] << 8U) | (p[2] << 16U);
    }

private:
    mutable std::mutex mutex_;
    Image image_; // guarded by mutex_
};

// Frames of the screen at the configured size, every millisecond until stopped.
class ScriptedFrameStream final : public FrameStream {
public:
    ScriptedFrameStream(std::shared_ptr<const ScriptedScreen> screen,
                        StreamConfiguration configuration)
        : screen_(std::move(screen)), configuration_(configuration) {}
    ~ScriptedFrameStream() override { thread_ = {}; } // stops and joins before the output goes
    void addStreamOutput(std::shared_ptr<FrameStreamOutput> output) override {
        output_ = std::move(output);
    }
    void startCapture() override {
        thread_ = std::jthread([this](const std::stop_token& stop) {
            while (!stop.stop_requested()) {
                Image frame(configuration_.width, configuration_.height);
                if (!screen_->scaleTo(frame.view())) {
                    output_->streamEnded(*this, std::make_exception_ptr(
                                                    std::runtime_error("The frame cannot scale.")));
                    return;
                }
                output_->frameArrived(*this, std::move(frame));
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    void stopCapture() noexcept override { thread_.request_stop(); }

private:
    std::shared_ptr<const ScriptedScreen> screen_;
    StreamConfiguration configuration_;
    std::shared_ptr<FrameStreamOutput> output_;
    std::jthread thread_;
};

class ScriptedCapture final : public CaptureBackend {
public:
    explicit ScriptedCapture(std::shared_ptr<const ScriptedScreen> screen)
        : screen_(std::move(screen)) {}
    std::vector<CaptureDisplay> displays() override { return {screen_->display()}; }
    std::unique_ptr<FrameStream> makeStream(const CaptureDisplay& /*display*/,
                                            const StreamConfiguration& configuration) override {
        ++captures;
        return std::make_unique<ScriptedFrameStream>(screen_, configuration);
    }
    std::atomic<int> captures{0};

private:
    std::shared_ptr<const ScriptedScreen> screen_;
};

class FakeChangeSource final : public ChangeSource {
public:
    struct Script {
        bool grabber = true;        // offers an area grabber
        bool grabsFail = false;     // its grabs throw
        std::string watchRefusal{}; // non-empty: watch() throws this
    };
    FakeChangeSource(std::shared_ptr<const ScriptedScreen> screen, Script script)
        : screen_(std::move(screen)), script_(std::move(script)) {}

    std::unique_ptr<ChangeWatch> watch(std::function<void(const ChangeReport&)> changed) override {
        const std::lock_guard guard(mutex_);
        if (!script_.watchRefusal.empty()) {
            throw std::runtime_error(script_.watchRefusal);
        }
        ++watches;
        changed_ = std::move(changed);
        changed_(ChangeReport{{}, true, false});
        return std::make_unique<Watch>(*this);
    }

    std::unique_ptr<AreaGrabber> areaGrabber() override {
        if (!script_.grabber) {
            return nullptr;
        }
        return std::make_unique<Grabber>(*this);
    }

    // Reports to the running watch, if any, on the caller's thread.
    void report(const ChangeReport& report) {
        const std::lock_guard guard(mutex_);
        if (changed_) {
            changed_(report);
            if (report.ended) {
                changed_ = nullptr;
            }
        }
    }
    void report(std::vector<ChangeRect> rects) { report(ChangeReport{std::move(rects)}); }

    void refuseWatch(std::string error) {
        const std::lock_guard guard(mutex_);
        script_.watchRefusal = std::move(error);
    }

    std::atomic<int> watches{0};
    std::atomic<int> grabs{0};

private:
    class Watch final : public ChangeWatch {
    public:
        explicit Watch(FakeChangeSource& source) : source_(source) {}
        ~Watch() override {
            const std::lock_guard guard(source_.mutex_);
            source_.changed_ = nullptr;
        }

    private:
        FakeChangeSource& source_;
    };
    class Grabber final : public AreaGrabber {
    public:
        explicit Grabber(FakeChangeSource& source) : source_(source) {}
        void grab(const ChangeRect& area, PixelView into, bool /*cursor*/) override {
            ++source_.grabs;
            if (source_.script_.grabsFail) {
                throw std::runtime_error("The grab failed.");
            }
            source_.screen_->read(area, into);
        }

    private:
        FakeChangeSource& source_;
    };

    std::shared_ptr<const ScriptedScreen> screen_;
    std::mutex mutex_;
    Script script_;                                    // guarded by mutex_ (watchRefusal)
    std::function<void(const ChangeReport&)> changed_; // guarded by mutex_
};

// The three together, and drawing as a platform sees it: pixels painted, then reported.
struct FakeDesktop {
    explicit FakeDesktop(int width, int height, FakeChangeSource::Script script = {},
                         std::uint32_t colour = 0x202020)
        : screen(std::make_shared<ScriptedScreen>(width, height, colour)),
          capture(std::make_shared<ScriptedCapture>(screen)),
          source(std::make_shared<FakeChangeSource>(screen, std::move(script))) {}

    void draw(const ChangeRect& area, std::uint32_t colour) {
        screen->paint(area, colour);
        source->report({area});
    }
    // The screen takes a new size; the source, like a platform's, cannot say what changed.
    void resize(int width, int height, std::uint32_t colour) {
        screen->resize(width, height, colour);
        source->report(ChangeReport{{}, true, false});
    }

    std::shared_ptr<ScriptedScreen> screen;
    std::shared_ptr<ScriptedCapture> capture;
    std::shared_ptr<FakeChangeSource> source;
};

// One answer of the tiles route: its head, its tiles' files and its video chunk, if any.
struct TilesAnswer {
    nlohmann::json head;
    std::vector<std::vector<std::uint8_t>> files;
    std::vector<std::uint8_t> video;
    [[nodiscard]] std::uint64_t sequence() const { return head["sequence"]; }
    [[nodiscard]] bool full() const { return head["full"]; }
};

inline TilesAnswer readTilesAnswer(const std::vector<std::uint8_t>& body) {
    const auto end = std::ranges::find(body, '\n');
    TilesAnswer answer{nlohmann::json::parse(body.begin(), end), {}, {}};
    auto at = end + 1;
    const auto take = [&](std::ptrdiff_t size) {
        EXPECT_LE(size, body.end() - at) << "a file runs past the body";
        const auto stop = at + std::min(size, body.end() - at);
        return std::vector<std::uint8_t>(std::exchange(at, stop), stop);
    };
    for (const auto& tile : answer.head["tiles"]) {
        answer.files.push_back(take(tile[4]));
    }
    if (answer.head.contains("video")) {
        answer.video = take(answer.head["video"][5]);
    }
    EXPECT_EQ(at, body.end()) << "bytes after the last file";
    return answer;
}

// Whether a tile [x, y, width, height, ...] of an answer overlaps `r`.
inline bool overlaps(const nlohmann::json& tile, const TileRect& r) {
    const int x = tile[0], y = tile[1], w = tile[2], h = tile[3];
    return x < r.x + r.width && r.x < x + w && y < r.y + r.height && r.y < y + h;
}

} // namespace zel::test
