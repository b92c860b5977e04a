// A main queue that runs nothing until drained, so that a test decides when the GUI thread's
// work happens and in which order it meets the other threads' work.
#pragma once

#include "app/main_queue.hpp"

#include <deque>
#include <functional>
#include <mutex>

namespace zel::test {

class ManualMainQueue final : public MainQueue {
public:
    void post(std::function<void()> item) override {
        const std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
    }

    // Runs queued items, including those posted while draining; returns how many ran.
    int drain() {
        int ran = 0;
        for (;;) {
            std::function<void()> item;
            {
                const std::lock_guard lock(mutex_);
                if (items_.empty()) {
                    return ran;
                }
                item = std::move(items_.front());
                items_.pop_front();
            }
            item();
            ++ran;
        }
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> items_;
};

} // namespace zel::test
