// The base of the platforms' frame streams.
#pragma once

#include "capture/capture_backend.hpp"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace zel {

// What every platform's stream shares: one output, given before the start; one start; a
// configuration it can capture (BGRA, at least a pixel); and the paced loop of frames, which
// differs between platforms only in how a picture of the display is taken.
class PlatformFrameStream : public FrameStream {
public:
    void addStreamOutput(std::shared_ptr<FrameStreamOutput> output) override;
    void stopCapture() noexcept override;

protected:
    void checkStart(bool started, const StreamConfiguration& configuration) const;

    // Until a stop: waits for the next frame time, grabs, scales into a frame of the configured
    // size and hands it to the output; an error ends the stream with it. A platform whose grab
    // is ready at once may have the second frame follow the first sooner than the interval.
    void runFrames(const StreamConfiguration& configuration,
                   std::chrono::nanoseconds secondAfter = std::chrono::nanoseconds::max());
    // One picture of the whole display, valid until the next grab; throws the platform's error.
    virtual ConstPixelView grab() = 0;

    // The lock and signal a stop is told by, for a stream that waits for its own thread too.
    [[nodiscard]] std::unique_lock<std::mutex> lock() { return std::unique_lock(mutex_); }
    [[nodiscard]] std::condition_variable& signal() { return wake_; }

private:
    std::shared_ptr<FrameStreamOutput> output_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false; // guarded by mutex_
};

} // namespace zel
