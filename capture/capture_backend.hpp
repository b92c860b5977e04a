// The platform interface of screen capture: the display list and a frame stream of one display.
// The frame receiver, the time-out race, scaling and encoding are core code over it.
#pragma once

#include "capture/image.hpp"

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
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
