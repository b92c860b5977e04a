#include "capture/change_log.hpp"

#include "base/app_error.hpp"

#include <string>
#include <utility>

namespace zel {
namespace {

// Reports kept for viewers that are behind; one further back gets the whole frame.
constexpr std::size_t kLogLimit = 4096;
// Waiters whose requests have gone (answered by their time-out) are dropped beyond this.
constexpr std::size_t kWaiterLimit = 256;

} // namespace

ChangeLog::ChangeLog(std::shared_ptr<ChangeSource> source) : source_(std::move(source)) {}

ChangeLog::~ChangeLog() {
    const std::lock_guard guard(watchMutex_);
    watch_.reset();
}

void ChangeLog::record(const ChangeReport& report) {
    std::vector<Waiter> woken;
    {
        const std::lock_guard guard(mutex_);
        ++sequence_;
        if (report.everything) {
            everythingAt_ = sequence_;
            log_.clear();
        } else {
            for (const ChangeRect& rect : report.rects) {
                log_.push_back({sequence_, rect});
            }
            while (log_.size() > kLogLimit) {
                forgottenAt_ = log_.front().sequence;
                log_.pop_front();
            }
        }
        ended_ = ended_ || report.ended;
        woken.swap(waiters_);
    }
    for (Waiter& waiter : woken) {
        waiter.changed();
    }
}

void ChangeLog::ensureWatching() {
    const std::lock_guard watchGuard(watchMutex_);
    {
        const std::lock_guard guard(mutex_);
        if (!ended_) {
            return;
        }
    }
    watch_.reset(); // a watch that ended has left its thread by now, or is about to
    {
        const std::lock_guard guard(mutex_);
        ended_ = false;
    }
    try {
        watch_ = source_->watch([this](const ChangeReport& report) { record(report); });
    } catch (const std::exception& error) {
        const std::lock_guard guard(mutex_);
        ended_ = true;
        // The tiles route answers it with 501: the agent server takes whole screenshots instead.
        throw AppError(std::string("Change tracking is not available: ") + error.what());
    }
}

void ChangeLog::awaitChange(std::uint64_t since, std::function<void()> changed) {
    ensureWatching();
    std::vector<Waiter> dropped;
    {
        const std::lock_guard guard(mutex_);
        if (sequence_ == since) {
            if (waiters_.size() >= kWaiterLimit) {
                dropped.swap(waiters_); // told early; the gone ones ignore it
            }
            waiters_.push_back({since, std::move(changed)});
            changed = nullptr;
        }
    }
    for (Waiter& waiter : dropped) {
        waiter.changed();
    }
    if (changed) {
        changed();
    }
}

ChangeLog::Changes ChangeLog::changesSince(std::uint64_t since) {
    const std::lock_guard guard(mutex_);
    Changes changes;
    changes.sequence = sequence_;
    changes.full = since == 0 || since > sequence_ || since < everythingAt_ || since < forgottenAt_;
    if (!changes.full) {
        for (auto it = log_.rbegin(); it != log_.rend() && it->sequence > since; ++it) {
            changes.rects.push_back(it->rect);
        }
    }
    return changes;
}

} // namespace zel
