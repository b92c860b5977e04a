// One frame of a display at its own size, through a stream as the screenshot takes it, and its
// pixels as RGB, for tests that read a platform's pixels back.
#pragma once

#include "capture/capture_backend.hpp"
#include "capture/first_frame_waiter.hpp"

#include <array>
#include <chrono>
#include <variant>

namespace zel::test {

inline Image streamFrame(CaptureBackend& backend, const CaptureDisplay& display) {
    StreamConfiguration configuration;
    configuration.width = display.width;
    configuration.height = display.height;
    auto output = std::make_shared<FirstFrameWaiter>();
    const auto stream = backend.makeStream(display, configuration);
    stream->addStreamOutput(output);
    stream->startCapture();
    auto outcome = output->waitForFrame(std::chrono::seconds(8));
    stream->stopCapture();
    if (auto* error = std::get_if<std::exception_ptr>(&outcome)) {
        std::rethrow_exception(*error);
    }
    return std::get<Image>(std::move(outcome));
}

inline std::array<int, 3> pixelAt(const Image& image, int x, int y) {
    const std::uint8_t* p = image.data() + static_cast<std::size_t>(y) * image.stride() +
                            static_cast<std::size_t>(x) * 4;
    return {p[2], p[1], p[0]};
}

} // namespace zel::test
