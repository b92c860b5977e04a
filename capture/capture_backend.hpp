// The platform interface of screen capture: the display list and a frame stream of one display.
// The frame receiver, the time-out race, scaling and encoding are core code over it.
#pragma once

#include "capture/image.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace zel {

// One display in the platform's order; sizes in desktop coordinates (pixels on X11, layout
// units on Wayland, where a scaled output has more pixels than units).
struct CaptureDisplay {
    std::string id;
    int width = 0;
    int height = 0;
    // Origin in the platform's desktop coordinates (root-window pixels on X11).
    int x = 0;
    int y = 0;
};

enum class PixelFormat : std::uint32_t { bgra = 0x42475241 }; // four-character code BGRA

struct StreamConfiguration {
    int width = 0;
    int height = 0;
    PixelFormat pixelFormat = PixelFormat::bgra;
    std::chrono::nanoseconds minimumFrameInterval = std::chrono::milliseconds(100);
    bool includesCursor = true;
};

class FrameStream;

// Receives what a stream delivers; every call comes on the stream's own serial thread, so calls
// of one stream never overlap.
class FrameStreamOutput {
public:
    virtual ~FrameStreamOutput() = default;
    // One frame at the configured size.
    virtual void frameArrived(FrameStream& stream, Image frame) = 0;
    // The stream ended by itself: with the platform's error, or with none when it simply ran out.
    // No frame follows.
    virtual void streamEnded(FrameStream& stream, std::exception_ptr error) = 0;
};

class FrameStream {
public:
    FrameStream() = default;
    FrameStream(const FrameStream&) = delete;
    FrameStream& operator=(const FrameStream&) = delete;
    // Releases every resource of the stream; a stream that is still running is stopped first.
    virtual ~FrameStream() = default;

    // Throws the platform's error when the output cannot be registered.
    virtual void addStreamOutput(std::shared_ptr<FrameStreamOutput> output) = 0;
    // Blocks until frames are on their way; throws the platform's error when capture cannot start.
    virtual void startCapture() = 0;
    // Asks the stream to stop and returns at once (a frame already on its way may still come);
    // the destructor waits for the stream's thread.
    virtual void stopCapture() noexcept = 0;
};

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

class CaptureBackend {
public:
    CaptureBackend() = default;
    CaptureBackend(const CaptureBackend&) = delete;
    CaptureBackend& operator=(const CaptureBackend&) = delete;
    virtual ~CaptureBackend() = default;

    // The displays in the platform's order; throws the platform's error when it cannot ask.
    virtual std::vector<CaptureDisplay> displays() = 0;
    // A new, stopped stream of the display; safe to call from many threads at once.
    virtual std::unique_ptr<FrameStream> makeStream(const CaptureDisplay& display,
                                                    const StreamConfiguration& configuration) = 0;
};

} // namespace zel
