// The frame receiver: every delivered frame finds at most one waiter, each waiter is resumed once.
#include "capture/first_frame_waiter.hpp"

namespace zel {

class FirstFrameWaiter::Waiter {
public:
    void resume(std::variant<Image, std::exception_ptr, NoResult> value) {
        {
            const std::lock_guard guard(mutex_);
            if (result_) {
                return;
            }
            result_ = std::move(value);
        }
        ready_.notify_one();
    }

    std::optional<std::variant<Image, std::exception_ptr, NoResult>>
    waitFor(std::chrono::nanoseconds timeout) {
        std::unique_lock guard(mutex_);
        ready_.wait_for(guard, timeout, [this] { return result_.has_value(); });
        return std::move(result_);
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::optional<std::variant<Image, std::exception_ptr, NoResult>> result_;
};

FirstFrameWaiter::Outcome FirstFrameWaiter::waitForFrame(std::chrono::nanoseconds timeout) {
    auto waiter = std::make_shared<Waiter>();
    {
        const std::lock_guard guard(lock_);
        continuation_ = waiter;
    }
    auto result = waiter->waitFor(timeout);
    if (!result) {
        // The time-out won: take the waiter back so that a later frame finds none.
        const std::lock_guard guard(lock_);
        if (continuation_ == waiter) {
            continuation_.reset();
        }
        return TimedOut{};
    }
    return std::visit([](auto&& value) -> Outcome { return std::forward<decltype(value)>(value); },
                      std::move(*result));
}

void FirstFrameWaiter::frameArrived(FrameStream& /*stream*/, Image frame) {
    resume(std::move(frame));
}

void FirstFrameWaiter::streamEnded(FrameStream& /*stream*/, std::exception_ptr error) {
    if (error) {
        resume(std::move(error));
    } else {
        resume(NoResult{});
    }
}

void FirstFrameWaiter::resume(std::variant<Image, std::exception_ptr, NoResult> result) {
    std::shared_ptr<Waiter> waiter;
    {
        const std::lock_guard guard(lock_);
        waiter = std::move(continuation_);
        continuation_.reset();
    }
    // Resumed outside the lock so a slow waker never holds up the stream's next delivery.
    if (waiter) {
        waiter->resume(std::move(result));
    }
}

} // namespace zel
