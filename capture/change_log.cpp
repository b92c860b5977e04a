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

std::vector<ChangeLog::Waiter> ChangeLog::wait(std::vector<Waiter>& waiters, Waiter waiter) {
    std::vector<Waiter> dropped;
    if (waiters.size() >= kWaiterLimit) {
        dropped.swap(waiters); // told early (by the caller, unlocked); the gone ones ignore it
    }
    waiters.push_back(std::move(waiter));
    return dropped;
}

void ChangeLog::record(const ChangeReport& report) {
    std::vector<Waiter> woken;
    {
        const std::lock_guard guard(mutex_);
        if (report.pointer && (pointer_.sequence == 0 || *report.pointer != pointer_.state)) {
            pointer_ = {pointer_.sequence + 1, *report.pointer};
            woken.swap(pointerWaiters_);
        }
        const bool drawn = report.everything || report.ended || !report.rects.empty();
        if (drawn || !report.cursorRects.empty()) {
            ++sequence_;
            if (drawn) {
                drawnAt_ = sequence_;
            }
            if (report.everything) {
                everythingAt_ = sequence_;
                log_.clear();
            } else {
                for (const ChangeRect& rect : report.rects) {
                    log_.push_back({sequence_, rect, false});
                }
                for (const ChangeRect& rect : report.cursorRects) {
                    log_.push_back({sequence_, rect, true});
                }
                while (log_.size() > kLogLimit) {
                    forgottenAt_ = log_.front().sequence;
                    log_.pop_front();
                }
            }
            // Waiters that ignore the cursor stay for a change of more than the cursor.
            for (auto it = waiters_.begin(); it != waiters_.end();) {
                if (drawn || !it->withoutCursor) {
                    woken.push_back(std::move(*it));
                    it = waiters_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        ended_ = ended_ || report.ended;
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

void ChangeLog::awaitChange(std::uint64_t since, std::function<void()> changed,
                            bool withoutCursor) {
    ensureWatching();
    std::vector<Waiter> dropped;
    {
        const std::lock_guard guard(mutex_);
        // Since `since` at most the cursor moved: nothing for a viewer that draws it itself.
        const bool onlyCursor = withoutCursor && since < sequence_ && drawnAt_ <= since &&
                                since >= everythingAt_ && since >= forgottenAt_ && since > 0;
        if (sequence_ == since || onlyCursor) {
            dropped = wait(waiters_, {since, std::move(changed), withoutCursor});
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

ChangeLog::Changes ChangeLog::changesSince(std::uint64_t since, bool withoutCursor) {
    const std::lock_guard guard(mutex_);
    Changes changes;
    changes.sequence = sequence_;
    changes.full = since == 0 || since > sequence_ || since < everythingAt_ || since < forgottenAt_;
    if (!changes.full) {
        for (auto it = log_.rbegin(); it != log_.rend() && it->sequence > since; ++it) {
            if (!withoutCursor || !it->cursor) {
                changes.rects.push_back(it->rect);
            }
        }
    }
    return changes;
}

void ChangeLog::awaitPointer(std::uint64_t since, std::function<void()> changed) {
    ensureWatching();
    std::vector<Waiter> dropped;
    {
        const std::lock_guard guard(mutex_);
        if (pointer_.sequence == since) {
            dropped = wait(pointerWaiters_, {since, std::move(changed), false});
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

ChangeLog::Pointer ChangeLog::pointer() {
    const std::lock_guard guard(mutex_);
    return pointer_;
}

} // namespace zel
