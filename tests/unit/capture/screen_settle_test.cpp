// The crop before scaling, the grouping of changed rectangles into boxes, and the comparison of
// frames that stands in for a change source.
#include "capture/screen_settle.hpp"
#include "capture/screenshot.hpp"

#include <cstring>
#include <gtest/gtest.h>

namespace {

using zel::ChangeRect;
using Rects = std::vector<ChangeRect>;

// An image whose every pixel holds its own x and y, so that a crop tells where it came from.
zel::Image numbered(int width, int height) {
    zel::Image image(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* pixel =
                image.data() + image.stride() * y + static_cast<std::size_t>(x) * 4;
            pixel[0] = static_cast<std::uint8_t>(x);
            pixel[1] = static_cast<std::uint8_t>(y);
            pixel[2] = 0;
            pixel[3] = 255;
        }
    }
    return image;
}

TEST(CroppedImage, ClipsToTheImageAndKeepsThePixels) {
    const zel::Image image = numbered(100, 50);
    const std::array<int, 8> cases[] = {// x, y, w, h, expected w, h, first pixel's x, y
                                        {10, 20, 30, 5, 30, 5, 10, 20},
                                        {-5, -5, 10, 10, 5, 5, 0, 0},
                                        {90, 40, 50, 50, 10, 10, 90, 40},
                                        {0, 0, 100, 50, 100, 50, 0, 0}};
    for (const auto& [x, y, w, h, ew, eh, px, py] : cases) {
        const auto crop = zel::Screenshot::croppedImage(image, x, y, w, h);
        ASSERT_TRUE(crop.has_value()) << x << "," << y;
        EXPECT_EQ(
            (std::array{crop->width(), crop->height(), int{crop->data()[0]}, int{crop->data()[1]}}),
            (std::array{ew, eh, px, py}))
            << x << "," << y;
        // The last pixel of the crop is the area's last pixel inside the image.
        const std::uint8_t* last =
            crop->data() + crop->stride() * (eh - 1) + static_cast<std::size_t>(ew - 1) * 4;
        EXPECT_EQ((std::array{int{last[0]}, int{last[1]}}), (std::array{px + ew - 1, py + eh - 1}));
    }
    for (const auto& outside :
         {std::array{100, 0, 5, 5}, std::array{-10, 0, 10, 5}, std::array{0, 50, 5, 5}}) {
        EXPECT_FALSE(
            zel::Screenshot::croppedImage(image, outside[0], outside[1], outside[2], outside[3]))
            << outside[0] << "," << outside[1];
    }
}

TEST(ChangedBoxes, NeighboursJoinDistantAreasStaySeparate) {
    const zel::CaptureDisplay display{"d", 1000, 800, 100, 50};
    struct Case {
        const char* what;
        Rects rects;
        Rects boxes;
    };
    const Case cases[] = {
        {"nothing", {}, {}},
        {"outside the display", {{0, 0, 100, 50}, {1100, 850, 10, 10}}, {}},
        {"clipped to the display", {{50, 40, 100, 20}}, {{100, 50, 50, 10}}},
        {"a caret's rectangles next to each other",
         {{200, 200, 2, 16}, {210, 200, 8, 16}, {230, 204, 8, 12}},
         {{200, 200, 38, 16}}},
        {"a dialog and a clock far apart, largest first",
         {{1000, 60, 60, 20}, {400, 300, 200, 100}, {420, 320, 10, 10}},
         {{400, 300, 200, 100}, {1000, 60, 60, 20}}},
        {"a chain joins across its links",
         {{100, 100, 20, 20}, {150, 100, 20, 20}, {200, 100, 20, 20}},
         {{100, 100, 120, 20}}},
        {"the display's far corner", {{1090, 840, 50, 50}}, {{1090, 840, 10, 10}}}};
    for (const auto& [what, rects, boxes] : cases) {
        EXPECT_EQ(zel::changedBoxes(rects, display), boxes) << what;
    }
    // More groups than the limit: their one bounding box.
    Rects scattered;
    for (int i = 0; i < 5; ++i) {
        scattered.push_back({200 + 150 * i, 100 + 100 * i, 4, 4});
    }
    EXPECT_EQ(zel::changedBoxes(scattered, display, 4), (Rects{{200, 100, 604, 404}}));
    EXPECT_EQ(zel::changedBoxes(scattered, display, 5).size(), 5U);
}

TEST(DifferingCells, FindsTheChangedCellsOnly) {
    const zel::Image before = numbered(100, 70);
    zel::Image changed = numbered(100, 70);
    const zel::Image& now = changed;
    EXPECT_TRUE(zel::differingCells(before.view(), now.view()).empty());
    changed.data()[now.stride() * 40 + 70 * 4] ^= 1;    // cell (2, 1)
    changed.data()[now.stride() * 69 + 99 * 4 + 2] = 9; // the last, partial cell
    EXPECT_EQ(zel::differingCells(before.view(), now.view()),
              (Rects{{64, 32, 32, 32}, {96, 64, 4, 6}}));
    const zel::Image other = numbered(100, 60);
    EXPECT_EQ(zel::differingCells(before.view(), other.view()), (Rects{{0, 0, 100, 60}}));
}

} // namespace
