// The Wayland change source: damage in an output's own pixels placed in the layout for every
// output transform and scale, and under a headless sway the cursor's move reported where it
// went, nothing while nothing is drawn, and the end when the compositor goes.
#include "input/main_process_input.hpp"
#include "platform/wayland/wayland_damage.hpp"
#include "platform/wayland/wayland_input.hpp"
#include "tests/support/sway.hpp"

#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <tuple>

namespace zel {
namespace {

using namespace std::chrono_literals;

TEST(WaylandDamage, BufferDamageLandsWhereTheLayoutShowsIt) {
    // A 40×10 strip at the buffer's top-left corner of a 200×100 buffer.
    const wayland::Rect corner{0, 0, 40, 10};
    const struct {
        int transform;
        bool yInverted;
        wayland::Rect layout;
        ChangeRect expected;
    } kCases[] = {
        {WL_OUTPUT_TRANSFORM_NORMAL, false, {1000, 50, 200, 100}, {1000, 50, 40, 10}},
        {WL_OUTPUT_TRANSFORM_NORMAL, true, {0, 0, 200, 100}, {0, 90, 40, 10}},
        // Turned outputs: the layout is 100 wide and 200 high.
        {WL_OUTPUT_TRANSFORM_90, false, {0, 0, 100, 200}, {90, 0, 10, 40}},
        {WL_OUTPUT_TRANSFORM_180, false, {0, 0, 200, 100}, {160, 90, 40, 10}},
        {WL_OUTPUT_TRANSFORM_270, false, {0, 0, 100, 200}, {0, 160, 10, 40}},
        {WL_OUTPUT_TRANSFORM_FLIPPED, false, {0, 0, 200, 100}, {160, 0, 40, 10}},
        {WL_OUTPUT_TRANSFORM_FLIPPED_90, false, {0, 0, 100, 200}, {0, 0, 10, 40}},
        {WL_OUTPUT_TRANSFORM_FLIPPED_180, false, {0, 0, 200, 100}, {0, 90, 40, 10}},
        {WL_OUTPUT_TRANSFORM_FLIPPED_270, false, {0, 0, 100, 200}, {90, 160, 10, 40}},
        // Scale 2: 200×100 pixels are 100×50 points; an odd edge widens to the whole point.
        {WL_OUTPUT_TRANSFORM_NORMAL, false, {10, 10, 100, 50}, {10, 10, 20, 5}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message() << "transform " << c.transform << " yInverted "
                                          << c.yInverted << " layout " << c.layout.width);
        EXPECT_EQ(wayland::layoutRect(corner, 200, 100, c.yInverted, c.transform, c.layout),
                  c.expected);
    }
    EXPECT_EQ(wayland::layoutRect({3, 3, 1, 1}, 200, 100, false, 0, {0, 0, 100, 50}),
              (ChangeRect{1, 1, 1, 1}));
}

// Reports as the watch's thread hands them over.
class Reports {
public:
    void add(const ChangeReport& report) {
        const std::lock_guard guard(mutex_);
        reports_.push_back(report);
        arrived_.notify_all();
    }
    // The first report after `seen` that matches, or none within the time.
    template <class Match>
    std::optional<ChangeReport> await(std::size_t& seen, Match match,
                                      std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock guard(mutex_);
        std::optional<ChangeReport> found;
        arrived_.wait_for(guard, limit, [&] {
            for (; seen < reports_.size(); ++seen) {
                if (match(reports_[seen])) {
                    found = reports_[seen++];
                    return true;
                }
            }
            return false;
        });
        return found;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<ChangeReport> reports_;
};

bool covers(const ChangeReport& report, int x, int y) {
    return std::any_of(report.rects.begin(), report.rects.end(), [&](const ChangeRect& r) {
        return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
    });
}

TEST(WaylandDamage, TheCursorsMoveIsReportedAndAStillDesktopReportsNothing) {
    std::optional<test::Sway> sway(std::in_place);
    const auto input = wayland::makeInputBackend(sway->socket());
    ASSERT_TRUE(input->trusted());
    Reports reports;
    std::size_t seen = 0;
    const auto watch = wayland::makeChangeSource(sway->socket())->watch([&](const ChangeReport& r) {
        reports.add(r);
    });
    ASSERT_TRUE(reports.await(seen, [](const ChangeReport& r) { return r.everything; }));
    // The compositor settles (its first frames), then draws nothing.
    while (reports.await(
        seen, [](const ChangeReport&) { return true; }, 500ms)) {
    }
    // Points per mille of the 1920×1080 output, and the pixel each lands on.
    for (const auto& [request, x, y] :
         {std::tuple{"[700,400]", 1344, 432}, {"[150,900]", 288, 972}}) {
        SCOPED_TRACE(request);
        MainProcessInput::perform(*input,
                                  std::string(R"({"action":"move","coordinate":)") + request + "}");
        const auto report = reports.await(
            seen, [&, x = x, y = y](const ChangeReport& r) { return covers(r, x, y); });
        ASSERT_TRUE(report);
        // The cursor's old and new places (sway sends their bounding box), not the whole output.
        EXPECT_FALSE(covers(*report, 1900, 20));
    }
    while (reports.await(
        seen, [](const ChangeReport&) { return true; }, 500ms)) {
    }
    EXPECT_FALSE(reports.await(
        seen, [](const ChangeReport&) { return true; }, 1000ms))
        << "a report while nothing was drawn";
    sway.reset();
    EXPECT_TRUE(reports.await(seen, [](const ChangeReport& r) { return r.ended; }));
}

} // namespace
} // namespace zel
