// The planner covers every changed cell in few tiles: the phone decodes each tile on its own.
#include "capture/tile_plan.hpp"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>

namespace {

using zel::ChangeRect;

constexpr int kWidth = 640;
constexpr int kHeight = 360;
const zel::CaptureDisplay kDisplay{"d", kWidth, kHeight};

TEST(PlanTiles, EveryChangedCellCoveredInFewTiles) {
    struct Case {
        const char* name;
        std::vector<ChangeRect> changes;
        std::function<bool(int, int)> unchanged;
        std::size_t mostTiles;
        long long mostArea;
    };
    const auto never = [](int, int) { return false; };
    Case cases[] = {
        // A moving picture leaves scattered cells as they were: dozens of ragged runs.
        {"video-like", {{96, 64, 208, 176}}, [](int c, int r) { return (c + r) % 13 == 0; }, 16, 0},
        // A clock in one corner and a typed line far away stay two small tiles, not their box.
        {"two far apart", {{8, 8, 60, 14}, {500, 320, 120, 14}}, never, 2, 2 * 128 * 32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto tiles = zel::planTiles(c.changes, kDisplay, kWidth, kHeight, c.unchanged);
        EXPECT_LE(tiles.size(), c.mostTiles) << "tiles";
        long long area = 0;
        for (const zel::TileRect& t : tiles) {
            area += static_cast<long long>(t.width) * t.height;
        }
        if (c.mostArea > 0) {
            EXPECT_LE(area, c.mostArea);
        }
        for (const ChangeRect& change : c.changes) {
            for (int y = change.y; y < change.y + change.height; ++y) {
                for (int x = change.x; x < change.x + change.width; ++x) {
                    if (c.unchanged(x / zel::kTileCell, y / zel::kTileCell)) {
                        continue;
                    }
                    const bool covered = std::ranges::any_of(tiles, [&](const zel::TileRect& t) {
                        return x >= t.x && x < t.x + t.width && y >= t.y && y < t.y + t.height;
                    });
                    ASSERT_TRUE(covered) << "changed pixel " << x << "," << y << " left out";
                }
            }
        }
    }
}

} // namespace
