// The frame receiver of one capture: a one-shot waiter under a lock, resumed by the stream.
#pragma once

#include "capture/capture_backend.hpp"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>

namespace zel {

class FirstFrameWaiter final : public FrameStreamOutput {
public:
    struct TimedOut {};
    struct NoResult {};
    // The race's outcome: the frame, the stream's error, the time-out, or no result at all (the
    // stream ended without a frame).
    using Outcome = std::variant<Image, std::exception_ptr, TimedOut, NoResult>;

    // Waits for the first frame delivered after the wait was stored, racing it against timeout.
    // When the time-out wins, the wait takes its own waiter back so a later frame is dropped.
    Outcome waitForFrame(std::chrono::nanoseconds timeout);

    void frameArrived(FrameStream& stream, Image frame) override;
    void streamEnded(FrameStream& stream, std::exception_ptr error) override;

private:
    class Waiter;
    void resume(std::variant<Image, std::exception_ptr, NoResult> result);

    std::mutex lock_;
    std::shared_ptr<Waiter> continuation_; // guarded by lock_
};

} // namespace zel
