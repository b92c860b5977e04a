#include "capture/platform_frame_stream.hpp"

#include "capture/image_scaling.hpp"

#include <algorithm>

namespace zel {

void PlatformFrameStream::addStreamOutput(std::shared_ptr<FrameStreamOutput> output) {
    if (!output) {
        throw std::invalid_argument("A stream output is required.");
    }
    if (output_) {
        throw std::logic_error("The stream already has an output.");
    }
    output_ = std::move(output);
}

void PlatformFrameStream::stopCapture() noexcept {
    {
        const std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
}

void PlatformFrameStream::checkStart(bool started, const StreamConfiguration& configuration) const {
    if (!output_) {
        throw std::logic_error("The stream has no output.");
    }
    if (started) {
        throw std::logic_error("The stream was already started.");
    }
    if (configuration.pixelFormat != PixelFormat::bgra || configuration.width < 1 ||
        configuration.height < 1) {
        throw std::invalid_argument("The stream configuration cannot be captured.");
    }
}

void PlatformFrameStream::runFrames(const StreamConfiguration& configuration,
                                    std::chrono::nanoseconds secondAfter) {
    auto next = std::chrono::steady_clock::now();
    bool first = true;
    while (true) {
        {
            std::unique_lock guard(mutex_);
            if (wake_.wait_until(guard, next, [this] { return stopping_; })) {
                return;
            }
        }
        next += first ? std::min(secondAfter, configuration.minimumFrameInterval)
                      : configuration.minimumFrameInterval;
        first = false;
        try {
            Image frame(configuration.width, configuration.height);
            if (!scaleInto(grab(), frame.view())) {
                throw std::runtime_error("The screen frame could not be scaled.");
            }
            output_->frameArrived(*this, std::move(frame));
        } catch (...) {
            output_->streamEnded(*this, std::current_exception());
            return;
        }
    }
}

} // namespace zel
