// The change source's reports numbered by sequence, and the callers waiting for the next one; the
// pointer numbered apart, with its own waiters. The watch starts on first use and again after it
// ended. Safe to call from many threads at once.
#pragma once

#include "capture/change_source.hpp"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace zel {

class ChangeLog {
public:
    explicit ChangeLog(std::shared_ptr<ChangeSource> source);
    ChangeLog(const ChangeLog&) = delete;
    ChangeLog& operator=(const ChangeLog&) = delete;
    ~ChangeLog();

    // Calls `changed` once, on the caller's thread or the watch's, when the desktop has changed
    // after `since` (`withoutCursor`: changes only the cursor made do not count); returns at once.
    // Throws AppError "Change tracking is not available: <the source's error>" when it cannot
    // watch.
    void awaitChange(std::uint64_t since, std::function<void()> changed,
                     bool withoutCursor = false);

    // What changed after `since`: the newest sequence and the rectangles reported after `since`
    // (`withoutCursor`: less those only the cursor changed), or `full` when the log cannot say
    // (`since` 0, unknown, older than the log remembers, or before the source lost track).
    struct Changes {
        std::uint64_t sequence = 0;
        bool full = false;
        std::vector<ChangeRect> rects;
    };
    Changes changesSince(std::uint64_t since, bool withoutCursor = false);

    // As awaitChange, for the pointer: `changed` once its sequence is past `since`.
    void awaitPointer(std::uint64_t since, std::function<void()> changed);
    // The pointer's newest sequence (0: not known yet) and state.
    struct Pointer {
        std::uint64_t sequence = 0;
        PointerState state;
    };
    Pointer pointer();

private:
    struct Waiter {
        std::uint64_t since;
        std::function<void()> changed;
        bool withoutCursor = false;
    };
    // Adds the waiter; returns those let go to keep the list bounded, to be told unlocked.
    static std::vector<Waiter> wait(std::vector<Waiter>& waiters, Waiter waiter);
    void record(const ChangeReport& report);
    void ensureWatching();

    std::shared_ptr<ChangeSource> source_;
    std::mutex watchMutex_; // held while a watch starts or goes, never by the watch's thread
    std::unique_ptr<ChangeWatch> watch_;
    std::mutex mutex_;
    std::uint64_t sequence_ = 0;     // guarded by mutex_
    std::uint64_t everythingAt_ = 0; // guarded by mutex_: the last report that said everything
    std::uint64_t drawnAt_ = 0;      // guarded by mutex_: the last report of more than the cursor
    std::uint64_t forgottenAt_ = 0;  // guarded by mutex_: changes up to here left the log
    bool ended_ = true;              // guarded by mutex_: no watch is running
    struct Entry {
        std::uint64_t sequence;
        ChangeRect rect;
        bool cursor;
    };
    std::deque<Entry> log_;              // guarded by mutex_
    std::vector<Waiter> waiters_;        // guarded by mutex_
    Pointer pointer_;                    // guarded by mutex_
    std::vector<Waiter> pointerWaiters_; // guarded by mutex_
};

} // namespace zel
