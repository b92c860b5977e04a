// The change log over a fake source: what a sequence can still say, who is woken and when, and
// the watch's start, restart and refusal.
#include "base/app_error.hpp"
#include "capture/change_log.hpp"
#include "tests/support/command.hpp"
#include "tests/support/fakes/fake_change_source.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <tuple>

namespace {

using zel::ChangeLog;
using zel::ChangeRect;
using zel::ChangeReport;
using zel::test::FakeChangeSource;

std::shared_ptr<FakeChangeSource> fakeSource(FakeChangeSource::Script script = {}) {
    return std::make_shared<FakeChangeSource>(
        std::make_shared<zel::test::ScriptedScreen>(64, 64, 0), std::move(script));
}

std::vector<ChangeRect> sorted(std::vector<ChangeRect> rects) {
    std::ranges::sort(rects, {},
                      [](const ChangeRect& r) { return std::tuple(r.x, r.y, r.width, r.height); });
    return rects;
}

// Starts the watch; its first report (everything) is sequence 1.
void start(ChangeLog& log) {
    log.awaitChange(0, [] {});
}

TEST(ChangeLog, WhatASequenceCanStillSay) {
    const ChangeRect a{1, 1, 2, 2}, b{10, 10, 3, 3}, c{20, 20, 4, 4};
    const ChangeReport everything{{}, true, false};
    struct Case {
        const char* fault;
        std::vector<ChangeReport> reports; // after the first one, which says everything
        std::uint64_t since;
        ChangeLog::Changes expected;
    };
    ChangeReport overflow; // more rectangles than the log keeps
    overflow.rects.assign(5000, a);
    const Case cases[] = {
        {"sequences skip or repeat, or what came before `since` is listed again",
         {{{a}}, {{b}}, {{c, a}}},
         2,
         {4, false, {c, a, b}}},
        {"a viewer that is up to date is sent something", {{{a}}}, 2, {2, false, {}}},
        {"since 0 (no picture yet) gets only the changes", {{{a}}}, 0, {2, true, {}}},
        {"a sequence never given out (another run's) is taken at its word",
         {{{a}}},
         9,
         {2, true, {}}},
        {"a sequence from before a resize lists rectangles of the old size",
         {{{a}}, everything, {{b}}},
         2,
         {4, true, {}}},
        {"after a resize the log never lists again",
         {{{a}}, everything, {{b}}},
         3,
         {4, false, {b}}},
        {"a sequence whose changes left the log lists only part of them",
         {{{b}}, overflow},
         2,
         {3, true, {}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        auto source = fakeSource();
        ChangeLog log(source);
        start(log);
        for (const ChangeReport& report : c.reports) {
            source->report(report);
        }
        const ChangeLog::Changes changes = log.changesSince(c.since);
        EXPECT_EQ(changes.sequence, c.expected.sequence);
        EXPECT_EQ(changes.full, c.expected.full);
        EXPECT_EQ(sorted(changes.rects), sorted(c.expected.rects)); // in no promised order
    }
}

TEST(ChangeLog, AWaiterIsCalledOnceWhenTheDesktopChangedAfterItsSequence) {
    struct Case {
        const char* fault;
        std::uint64_t since;
        int reports;
        int calledAtOnce; // before any report
        int calledAfter;
    };
    const Case cases[] = {
        {"a still screen wakes nobody", 1, 0, 0, 0},
        {"a report resumes the waiter", 1, 1, 0, 1},
        {"a waiter is resumed once, however many reports follow", 1, 3, 0, 1},
        {"a viewer behind is answered at once, not at the next change", 0, 0, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        auto source = fakeSource();
        ChangeLog log(source);
        start(log);
        int calls = 0;
        log.awaitChange(c.since, [&] { ++calls; });
        EXPECT_EQ(calls, c.calledAtOnce);
        for (int i = 0; i < c.reports; ++i) {
            source->report({{0, 0, 1, 1}});
        }
        EXPECT_EQ(calls, c.calledAfter);
    }
}

TEST(ChangeLog, WaitersOfRequestsThatTimedOutAreReleased) {
    // A request answered by its time-out leaves its waiter behind; on a still screen thousands
    // pile up unless the log lets old ones go.
    auto source = fakeSource();
    ChangeLog log(source);
    start(log);
    const auto held = std::make_shared<int>(0);
    bool firstReleased = false;
    log.awaitChange(1, [held, &firstReleased] { firstReleased = true; });
    for (int i = 0; i < 2000; ++i) {
        log.awaitChange(1, [held] {});
    }
    EXPECT_TRUE(firstReleased) << "the oldest waiter was never let go";
    EXPECT_LE(held.use_count(), 1 + 256) << "waiters pile up without bound";
    source->report({{0, 0, 1, 1}});
    EXPECT_EQ(held.use_count(), 1) << "a report leaves waiters behind";
}

TEST(ChangeLog, TheWatchStartsOnFirstUseAgainAfterItEndedAndSaysWhyItCannot) {
    auto source = fakeSource();
    ChangeLog log(source);
    EXPECT_EQ(source->watches, 0) << "watching before anyone asks";
    start(log);
    log.awaitChange(1, [] {});
    EXPECT_EQ(source->watches, 1) << "a second watch while one runs";

    source->report(ChangeReport{{{0, 0, 1, 1}}, false, true}); // the connection broke
    EXPECT_EQ(log.changesSince(2).sequence, 2U);
    source->refuseWatch("Cannot connect to the display.");
    EXPECT_EQ(zel::test::errorText([&] { log.awaitChange(2, [] {}); }),
              "Change tracking is not available: Cannot connect to the display.");

    source->refuseWatch("");
    bool called = false;
    log.awaitChange(2, [&] { called = true; });
    EXPECT_EQ(source->watches, 2) << "an ended watch is not started again";
    EXPECT_TRUE(called) << "the new watch's first report wakes the waiter";
    EXPECT_TRUE(log.changesSince(2).full) << "what the broken watch missed is not whole";
}

} // namespace

namespace {

// A viewer that draws the pointer itself: the cursor's areas are no change to it, and the pointer
// has its own sequence and waiters.
TEST(ChangeLog, TheCursorsOwnChangesCountOnlyForViewersThatHaveItInTheirFrames) {
    const ChangeRect drawn{1, 1, 2, 2}, cursor{30, 30, 8, 8};
    const auto moved = [&](int x) {
        ChangeReport report;
        report.cursorRects = {cursor};
        report.pointer = zel::PointerState{x, 5, true, 7};
        return report;
    };
    struct Case {
        const char* fault;
        std::vector<ChangeReport> reports; // after the first one, which says everything
        bool withoutCursor;
        std::vector<ChangeRect> rects; // what changed after sequence 1
        int woken;                     // of a waiter at sequence 1
    };
    const Case cases[] = {
        {"the cursor's areas reach a viewer drawing it", {moved(1), moved(2)}, true, {}, 0},
        {"a viewer with the cursor in its frames misses its moves", {moved(1)}, false, {cursor}, 1},
        {"drawing is lost among the cursor's moves", {moved(1), {{drawn}}}, true, {drawn}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        auto source = fakeSource();
        ChangeLog log(source);
        start(log);
        int woken = 0;
        log.awaitChange(
            1, [&] { ++woken; }, c.withoutCursor);
        for (const ChangeReport& report : c.reports) {
            source->report(report);
        }
        EXPECT_EQ(woken, c.woken);
        EXPECT_EQ(sorted(log.changesSince(1, c.withoutCursor).rects), sorted(c.rects));
    }

    auto source = fakeSource();
    ChangeLog log(source);
    start(log);
    EXPECT_EQ(log.pointer().sequence, 0U) << "a pointer the source never told";
    int woken = 0;
    log.awaitPointer(0, [&] { ++woken; });
    source->report(moved(10));
    source->report(moved(10)); // the same state again: nothing new
    source->report(std::vector<ChangeRect>{drawn});
    EXPECT_EQ(woken, 1);
    EXPECT_EQ(log.pointer().sequence, 1U);
    EXPECT_EQ(log.pointer().state, (zel::PointerState{10, 5, true, 7}));
    log.awaitPointer(1, [&] { ++woken; });
    source->report(moved(11));
    EXPECT_EQ(woken, 2);
    EXPECT_EQ(log.pointer().sequence, 2U);
}

} // namespace
