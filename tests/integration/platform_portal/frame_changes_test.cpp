// Where a portal frame changed when its buffer says nothing about damage, and where a frame's
// pixels lie on a scaled or moved monitor.
#include "platform/portal/frame_changes.hpp"

#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace zel {
namespace {

TEST(PortalFrameChanges, ChangedCellsAreJoinedInRunsOfTheirRow) {
    // 100×70 pixels in cells of 32: a row of cells 0..31, 32..63, 64..69 high.
    struct Case {
        const char* name;
        std::vector<std::pair<int, int>> changedPixels;
        std::vector<ChangeRect> expected;
    };
    const Case kCases[] = {
        {"still", {}, {}},
        {"one pixel", {{40, 10}}, {{32, 0, 32, 32}}},
        {"neighbours join", {{0, 0}, {33, 5}}, {{0, 0, 64, 32}}},
        {"a gap splits", {{0, 0}, {70, 5}}, {{0, 0, 32, 32}, {64, 0, 32, 32}}},
        {"the ragged edge", {{99, 69}}, {{96, 64, 4, 6}}},
        {"two rows", {{5, 5}, {5, 40}}, {{0, 0, 32, 32}, {0, 32, 32, 32}}},
    };
    for (const Case& c : kCases) {
        Image before(100, 70);
        std::memset(before.data(), 0x40, before.bytes().size());
        Image after(100, 70);
        std::memcpy(after.data(), before.data(), before.bytes().size());
        for (const auto& [x, y] : c.changedPixels) {
            after.data()[y * after.stride() + static_cast<std::size_t>(x) * 4 + 1] = 0x99;
        }
        EXPECT_EQ(portal::changedCells(std::as_const(before).view(), std::as_const(after).view()),
                  c.expected)
            << c.name;
    }
    const Image small(10, 10);
    const Image large(20, 10);
    EXPECT_EQ(portal::changedCells(small.view(), large.view()),
              (std::vector<ChangeRect>{{0, 0, 20, 10}}))
        << "another size changes everything";
}

TEST(PortalFrameChanges, FramePixelsLandOnTheMonitor) {
    const ChangeRect kMonitor{1920, 100, 1280, 720};
    const std::tuple<ChangeRect, int, int, ChangeRect> kCases[] = {
        {{10, 20, 30, 40}, 1280, 720, {1930, 120, 30, 40}},
        // Scale 2: 2560×1440 pixels on 1280×720 units; odd edges widen to the whole unit.
        {{11, 21, 30, 40}, 2560, 1440, {1925, 110, 16, 21}},
        {{1200, 700, 500, 500}, 1280, 720, {3120, 800, 80, 20}}, // clipped to the frame
    };
    for (const auto& [rect, width, height, expected] : kCases) {
        EXPECT_EQ(portal::onMonitor(rect, width, height, kMonitor), expected) << width;
    }
}

} // namespace
} // namespace zel
