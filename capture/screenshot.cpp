// Capture of one frame with its time-out race, and the screenshot entry point.
#include "capture/screenshot.hpp"

#include "base/app_error.hpp"
#include "capture/first_frame_waiter.hpp"

#include <algorithm>
#include <memory>
#include <type_traits>

namespace zel::Screenshot {
namespace {

constexpr const char* kNoDisplay = "No display is available.";
constexpr const char* kTimedOut = "Timed out waiting for screen frame.";
constexpr const char* kNoFrame = "No screen frame returned.";
constexpr const char* kUnableToEncode = "Unable to encode screenshot.";

// The stop is a request that returns at once; the stream's destructor then waits for its thread,
// so that no stream outlives the call.
class StopOnExit {
public:
    explicit StopOnExit(FrameStream& stream) : stream_(stream) {}
    StopOnExit(const StopOnExit&) = delete;
    StopOnExit& operator=(const StopOnExit&) = delete;
    ~StopOnExit() { stream_.stopCapture(); }

private:
    FrameStream& stream_;
};

} // namespace

StreamConfiguration streamConfiguration(int width, const CaptureDisplay& display) {
    const double scale = static_cast<double>(width) / std::max(display.width, 1);
    const double height = display.height * scale;
    StreamConfiguration configuration;
    configuration.width = std::max(width, kMinimumStreamWidth);
    // Truncation toward zero; anything below the floor (negative included) becomes the floor.
    configuration.height =
        height < kMinimumStreamHeight ? kMinimumStreamHeight : static_cast<int>(height);
    return configuration;
}

int resizedHeight(int width, int height, int targetWidth) {
    const double product = static_cast<double>(targetWidth) * height;
    return std::max(static_cast<int>(product / width), 1);
}

Image captureFrame(CaptureBackend& backend, int width, std::chrono::nanoseconds timeout,
                   bool cursor) {
    const std::vector<CaptureDisplay> displays = backend.displays();
    if (displays.empty()) {
        throw AppError(kNoDisplay);
    }
    const CaptureDisplay& display = displays.front();
    // A display narrower than the width asked comes at its own size, never scaled up.
    StreamConfiguration configuration =
        streamConfiguration(std::min(width, std::max(display.width, 1)), display);
    configuration.includesCursor = cursor;
    auto output = std::make_shared<FirstFrameWaiter>();
    const std::unique_ptr<FrameStream> stream = backend.makeStream(display, configuration);
    if (!stream) {
        throw AppError(kNoFrame);
    }
    stream->addStreamOutput(output);
    stream->startCapture();
    const StopOnExit stop(*stream);
    auto outcome = output->waitForFrame(timeout);
    return std::visit(
        [](auto&& value) -> Image {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, Image>) {
                return std::forward<decltype(value)>(value);
            } else if constexpr (std::is_same_v<T, std::exception_ptr>) {
                std::rethrow_exception(value);
            } else if constexpr (std::is_same_v<T, FirstFrameWaiter::TimedOut>) {
                throw AppError(kTimedOut);
            } else {
                throw AppError(kNoFrame);
            }
        },
        std::move(outcome));
}

std::vector<std::uint8_t> capture(CaptureBackend& backend, std::string_view format, int width,
                                  int quality) {
    // The control service calls this on its capture pool already, so scaling and encoding stay
    // on the calling thread: another hop would only add latency.
    const Image frame = captureFrame(backend, width);
    const std::optional<Image> scaled = resizedImage(frame, width);
    if (!scaled) {
        throw AppError(kUnableToEncode);
    }
    std::optional<std::vector<std::uint8_t>> bytes = encode(*scaled, format, quality);
    if (!bytes || bytes->empty()) {
        throw AppError(kUnableToEncode);
    }
    return std::move(*bytes);
}

std::vector<std::uint8_t> captureRegion(CaptureBackend& backend, std::string_view format, int width,
                                        int quality, const ChangeRect& region) {
    const std::vector<CaptureDisplay> displays = backend.displays();
    if (displays.empty()) {
        throw AppError(kNoDisplay);
    }
    const CaptureDisplay& display = displays.front();
    const Image frame = captureFrame(backend, display.width);
    // A frame at the display's width has the display's pixels, from its origin.
    const std::optional<Image> crop = croppedImage(
        frame, region.x - display.x, region.y - display.y, region.width, region.height);
    if (!crop) {
        throw AppError("The region lies outside the screen.");
    }
    const std::optional<Image> scaled = resizedImage(*crop, width);
    std::optional<std::vector<std::uint8_t>> bytes;
    if (scaled) {
        bytes = encode(*scaled, format, quality);
    }
    if (!bytes || bytes->empty()) {
        throw AppError(kUnableToEncode);
    }
    return std::move(*bytes);
}

} // namespace zel::Screenshot
