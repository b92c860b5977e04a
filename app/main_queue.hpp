// The main queue: work items that must run on the GUI thread, one at a time, in posted order.
#pragma once

#include <deque>
#include <functional>
#include <mutex>

namespace zel {

class MainQueue {
public:
    virtual ~MainQueue() = default;
    virtual void post(std::function<void()> item) = 0;
};

// A queue that runs nothing until drained: for core code without an event loop and for tests.
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

} // namespace zel
