// Size arithmetic of the stream and the resize, and the PNG/JPEG rules, checked by decoding.
#include "capture/main_process_screenshot.hpp"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <memory>
#include <spng.h>
#include <string>
#include <turbojpeg.h>
#include <vector>

namespace {

namespace shot = zel::MainProcessScreenshot;

struct Bgr {
    std::uint8_t b, g, r;
};

zel::Image solid(int width, int height, Bgr colour) {
    zel::Image image(width, height);
    for (int i = 0; i < width * height; ++i) {
        std::uint8_t* p = image.data() + static_cast<std::ptrdiff_t>(i) * 4;
        p[0] = colour.b;
        p[1] = colour.g;
        p[2] = colour.r;
        p[3] = 0xff;
    }
    return image;
}

// Left half one colour, right half another: shows channel order and where pixels land.
zel::Image halves(int width, int height, Bgr left, Bgr right) {
    zel::Image image = solid(width, height, left);
    for (int y = 0; y < height; ++y) {
        for (int x = width / 2; x < width; ++x) {
            std::uint8_t* p = image.data() + image.stride() * y + static_cast<std::size_t>(x) * 4;
            p[0] = right.b;
            p[1] = right.g;
            p[2] = right.r;
        }
    }
    return image;
}

struct Rgb {
    int width = 0, height = 0;
    std::vector<std::uint8_t> pixels; // RGB rows
    [[nodiscard]] const std::uint8_t* at(int x, int y) const {
        return &pixels[(static_cast<std::size_t>(y) * width + x) * 3];
    }
};

Rgb decodeJpeg(const std::vector<std::uint8_t>& jpeg) {
    struct Destroy {
        void operator()(void* h) const { tjDestroy(h); }
    };
    const std::unique_ptr<void, Destroy> handle(tjInitDecompress());
    Rgb out;
    int subsampling = 0, colourspace = 0;
    EXPECT_EQ(tjDecompressHeader3(handle.get(), jpeg.data(), jpeg.size(), &out.width, &out.height,
                                  &subsampling, &colourspace),
              0);
    out.pixels.resize(static_cast<std::size_t>(out.width) * out.height * 3);
    EXPECT_EQ(tjDecompress2(handle.get(), jpeg.data(), jpeg.size(), out.pixels.data(), out.width, 0,
                            out.height, TJPF_RGB, 0),
              0);
    return out;
}

Rgb decodePng(const std::vector<std::uint8_t>& png) {
    struct Free {
        void operator()(spng_ctx* c) const { spng_ctx_free(c); }
    };
    const std::unique_ptr<spng_ctx, Free> ctx(spng_ctx_new(0));
    EXPECT_EQ(spng_set_png_buffer(ctx.get(), png.data(), png.size()), 0);
    spng_ihdr header{};
    EXPECT_EQ(spng_get_ihdr(ctx.get(), &header), 0);
    Rgb out{static_cast<int>(header.width), static_cast<int>(header.height), {}};
    std::size_t size = 0;
    EXPECT_EQ(spng_decoded_image_size(ctx.get(), SPNG_FMT_RGB8, &size), 0);
    out.pixels.resize(size);
    EXPECT_EQ(spng_decode_image(ctx.get(), out.pixels.data(), size, SPNG_FMT_RGB8, 0), 0);
    return out;
}

std::uint32_t bigEndian32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
           (std::uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
}

// Every JPEG marker and where its segment starts, up to the start of scan.
std::vector<std::pair<std::uint8_t, std::size_t>> jpegMarkers(const std::vector<std::uint8_t>& b) {
    std::vector<std::pair<std::uint8_t, std::size_t>> markers;
    std::size_t i = 2;
    while (i + 4 <= b.size() && b[i] == 0xff) {
        const std::uint8_t marker = b[i + 1];
        markers.emplace_back(marker, i + 4);
        if (marker == 0xda) {
            break;
        }
        i += 2 + ((std::size_t{b[i + 2]} << 8) | b[i + 3]);
    }
    return markers;
}

TEST(StreamConfiguration, SizeArithmetic) {
    struct Case {
        int width, displayWidth, displayHeight, expectWidth, expectHeight;
    };
    const Case cases[] = {
        {960, 1440, 900, 960, 600},
        {960, 1512, 982, 960, 623},     // 623.49 truncated
        {1024, 1259, 1259, 1024, 1023}, // quotient first: 1023.99… truncated
        {320, 3840, 2160, 320, 180},
        {1000, 3000, 1, 1000, 180},    // 0.33 truncates to 0, raised to 180
        {2560, 1440, 900, 2560, 1600}, // never clamped to the display's size
        {200, 400, 800, 320, 400},     // width raised, height from the unraised width
        {100, 1920, 1080, 320, 180},
        {-50, 1920, 1080, 320, 180},
        {640, 0, 480, 640, 307200}, // a display width below 1 counts as 1
    };
    for (const Case& c : cases) {
        const zel::CaptureDisplay display{"d", c.displayWidth, c.displayHeight};
        const auto configuration = shot::streamConfiguration(c.width, display);
        EXPECT_EQ(configuration.width, c.expectWidth) << c.width << " on " << c.displayWidth;
        EXPECT_EQ(configuration.height, c.expectHeight) << c.width << " on " << c.displayWidth;
        EXPECT_EQ(configuration.queueDepth, 2);
        EXPECT_EQ(configuration.minimumFrameInterval, std::chrono::milliseconds(100));
        EXPECT_TRUE(configuration.showsCursor);
        EXPECT_EQ(static_cast<std::uint32_t>(configuration.pixelFormat), 0x42475241U);
    }
}

TEST(ResizedImage, DownscaleOnlyWithProductBeforeDivision) {
    struct Case {
        int width, height, target, expectWidth, expectHeight;
        bool same;
    };
    const Case cases[] = {
        {1000, 333, 500, 500, 166, false},                                    // 166.5 truncated
        {2880, 1800, 960, 960, 600, false}, {3000, 1, 1000, 1000, 1, false},  // 0.33 raised to 1
        {960, 540, 960, 960, 540, true},    {960, 540, 1200, 960, 540, true}, // no upscaling
        {960, 540, 0, 960, 540, true},      {960, 540, -5, 960, 540, true},
    };
    for (const Case& c : cases) {
        const zel::Image image = solid(c.width, c.height, {10, 20, 30});
        const auto result = shot::resizedImage(image, c.target);
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->width(), c.expectWidth) << c.width << "->" << c.target;
        EXPECT_EQ(result->height(), c.expectHeight) << c.width << "->" << c.target;
        EXPECT_EQ(result->sharesPixelsWith(image), c.same) << c.width << "->" << c.target;
    }
}

TEST(ResizedImage, KeepsColoursInPlaceAndAveragesLargeReductions) {
    const zel::Image image = halves(800, 200, {255, 0, 0}, {0, 0, 255});
    const auto half = shot::resizedImage(image, 400);
    ASSERT_TRUE(half);
    const std::uint8_t* left = half->data() + half->stride() * 50 + std::size_t{100} * 4;
    const std::uint8_t* right = half->data() + half->stride() * 50 + std::size_t{300} * 4;
    EXPECT_EQ((std::vector<int>{left[0], left[1], left[2], left[3]}),
              (std::vector<int>{255, 0, 0, 255}));
    EXPECT_EQ((std::vector<int>{right[0], right[1], right[2], right[3]}),
              (std::vector<int>{0, 0, 255, 255}));

    // Black and white noise reduced twelvefold must come out near even grey: a filter that
    // samples a few source pixels per output pixel leaves it speckled.
    zel::Image noise(1200, 1200);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < std::size_t{1200} * 1200; ++i) {
        state = state * 1664525U + 1013904223U;
        const std::uint8_t v = (state >> 31) != 0 ? 255 : 0;
        std::uint8_t* p = noise.data() + i * 4;
        p[0] = p[1] = p[2] = v;
        p[3] = 255;
    }
    const auto small = shot::resizedImage(noise, 100);
    ASSERT_TRUE(small);
    double sum = 0, squares = 0;
    for (int i = 0; i < 100 * 100; ++i) {
        const double v = small->data()[static_cast<std::size_t>(i) * 4];
        sum += v;
        squares += v * v;
    }
    const double mean = sum / 10000;
    EXPECT_NEAR(mean, 127.5, 10);
    EXPECT_LT(std::sqrt(squares / 10000 - mean * mean), 25);
}

TEST(Encode, OnlyExactlyPngIsPng) {
    const zel::Image image = halves(64, 48, {0, 0, 255}, {255, 0, 0});
    const struct {
        const char* format;
        bool png;
    } cases[] = {{"png", true},  {"jpeg", false}, {"jpg", false},
                 {"PNG", false}, {"webp", false}, {"", false}};
    for (const auto& c : cases) {
        const auto bytes = shot::encode(image, c.format, 62);
        ASSERT_TRUE(bytes && bytes->size() > 8) << c.format;
        const bool isPng =
            (*bytes)[0] == 0x89 && (*bytes)[1] == 'P' && (*bytes)[2] == 'N' && (*bytes)[3] == 'G';
        const bool isJpeg = (*bytes)[0] == 0xff && (*bytes)[1] == 0xd8;
        EXPECT_EQ(isPng, c.png) << c.format;
        EXPECT_EQ(isJpeg, !c.png) << c.format;
    }
}

TEST(Encode, PngIsCompleteLosslessAndInRgbOrder) {
    const zel::Image image = halves(301, 77, {0, 0, 255}, {255, 128, 0});
    const auto png = shot::encode(image, "png", 62);
    ASSERT_TRUE(png);
    const std::vector<std::uint8_t> signature = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};
    ASSERT_GT(png->size(), 33U);
    EXPECT_TRUE(std::equal(signature.begin(), signature.end(), png->begin()));
    EXPECT_EQ(std::string(png->begin() + 12, png->begin() + 16), "IHDR");
    EXPECT_EQ(bigEndian32(*png, 16), 301U);
    EXPECT_EQ(bigEndian32(*png, 20), 77U);
    EXPECT_EQ(std::string(png->end() - 8, png->end() - 4), "IEND");
    const Rgb decoded = decodePng(*png);
    ASSERT_EQ(decoded.width, 301);
    for (const auto& [x, rgb] : {std::pair{10, std::vector<int>{255, 0, 0}},
                                 std::pair{290, std::vector<int>{0, 128, 255}}}) {
        const std::uint8_t* p = decoded.at(x, 40);
        EXPECT_EQ((std::vector<int>{p[0], p[1], p[2]}), rgb) << x;
    }
}

TEST(Encode, JpegIsBaselineWithTheClampedQualityInItsTables) {
    const zel::Image image = halves(160, 120, {0, 0, 255}, {255, 0, 0});
    // The first luminance entry of the standard table is 16, scaled by libjpeg's quality curve.
    const struct {
        int quality;
        int firstLuminanceEntry;
    } cases[] = {{62, 12}, {50, 16}, {90, 3}, {1, 255}, {0, 255}, {-7, 255}, {100, 1}, {250, 1}};
    for (const auto& c : cases) {
        const auto jpeg = shot::encode(image, "jpeg", c.quality);
        ASSERT_TRUE(jpeg) << c.quality;
        ASSERT_GE(jpeg->size(), 4U);
        EXPECT_EQ((*jpeg)[0], 0xff);
        EXPECT_EQ((*jpeg)[1], 0xd8);
        bool baseline = false, progressive = false;
        int firstEntry = -1;
        for (const auto& [marker, at] : jpegMarkers(*jpeg)) {
            baseline = baseline || marker == 0xc0;
            progressive = progressive || marker == 0xc2;
            if (marker == 0xdb && firstEntry < 0 && ((*jpeg)[at] & 0x0f) == 0) {
                firstEntry = (*jpeg)[at + 1];
            }
        }
        EXPECT_TRUE(baseline) << c.quality;
        EXPECT_FALSE(progressive) << c.quality;
        EXPECT_EQ(firstEntry, c.firstLuminanceEntry) << c.quality;
    }
    const Rgb decoded = decodeJpeg(*shot::encode(image, "jpeg", 90));
    ASSERT_EQ(decoded.width, 160);
    ASSERT_EQ(decoded.height, 120);
    const std::uint8_t* red = decoded.at(30, 60);
    const std::uint8_t* blue = decoded.at(130, 60);
    EXPECT_GT(red[0], 235);
    EXPECT_LT(red[2], 20);
    EXPECT_GT(blue[2], 235);
    EXPECT_LT(blue[0], 20);
}

TEST(Encode, ImpossibleJpegYieldsNothing) {
    // Wider than JPEG's 65,535-pixel limit: the encoder cannot finish.
    EXPECT_FALSE(shot::encode(solid(70000, 1, {1, 2, 3}), "jpeg", 62).has_value());
}

} // namespace
