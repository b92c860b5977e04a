// Size arithmetic of the stream and the resize (the X11 test decodes what is encoded).
#include "capture/screenshot.hpp"

#include <gtest/gtest.h>

namespace {

namespace shot = zel::Screenshot;

TEST(StreamConfiguration, SizeArithmetic) {
    const std::array<int, 5> cases[] = {
        // width, display width, display height, expected width, expected height
        {960, 1512, 982, 960, 623},  // 623.49 truncated
        {1000, 3000, 1, 1000, 180},  // 0 raised to 180
        {200, 400, 800, 320, 400},   // width raised, height from the unraised width
        {640, 0, 480, 640, 307200}}; // display width counts as 1
    for (const auto& [width, displayWidth, displayHeight, expectWidth, expectHeight] : cases) {
        const auto cfg = shot::streamConfiguration(width, {"d", displayWidth, displayHeight});
        EXPECT_EQ(std::pair(cfg.width, cfg.height), std::pair(expectWidth, expectHeight))
            << width << " on " << displayWidth;
    }
}

TEST(ResizedImage, DownscaleOnly) {
    const std::array<int, 6> cases[] = {
        // width, height, target, expected width, expected height, same pixels
        {1000, 333, 500, 500, 166, 0},
        {3000, 1, 1000, 1000, 1, 0},
        {960, 540, 960, 960, 540, 1},
        {960, 540, 1200, 960, 540, 1},
        {960, 540, 0, 960, 540, 1}};
    for (const auto& [width, height, target, expectWidth, expectHeight, same] : cases) {
        const zel::Image image(width, height);
        const auto result = shot::resizedImage(image, target);
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(
            (std::array{result->width(), result->height(), int{result->sharesPixelsWith(image)}}),
            (std::array{expectWidth, expectHeight, same}))
            << width << "->" << target;
    }
}

} // namespace
