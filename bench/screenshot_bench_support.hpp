// What the screenshot benchmarks of every platform share: the busy 1920x1080 picture they show
// and the way each measurement is repeated and summarised.
#pragma once

#include "capture/screenshot.hpp"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace zel::bench {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// A desktop-like picture: a gradient wallpaper, windows with title bars and lines of glyph-like
// marks, and a photo-like area of smooth shapes with grain.
inline std::vector<std::uint32_t> busyPicture() {
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(kWidth) * kHeight);
    std::uint32_t seed = 2024;
    const auto next = [&seed] { return seed = seed * 1664525U + 1013904223U; };
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            pixels[static_cast<std::size_t>(y) * kWidth + x] =
                (static_cast<std::uint32_t>(40 + y * 60 / kHeight) << 16) |
                (static_cast<std::uint32_t>(70 + x * 80 / kWidth) << 8) | 140U;
        }
    }
    const auto fill = [&](int x0, int y0, int w, int h, std::uint32_t colour) {
        for (int y = std::max(y0, 0); y < std::min(y0 + h, kHeight); ++y) {
            std::fill_n(&pixels[static_cast<std::size_t>(y) * kWidth + std::max(x0, 0)],
                        std::max(0, std::min(x0 + w, kWidth) - std::max(x0, 0)), colour);
        }
    };
    const int windows[][4] = {{60, 50, 900, 620}, {700, 300, 1100, 700}, {1300, 80, 560, 420}};
    for (const auto& w : windows) {
        fill(w[0], w[1], w[2], w[3], 0xf4f4f4);
        fill(w[0], w[1], w[2], 32, 0x2d2d30);
        for (int line = w[1] + 48; line + 14 < w[1] + w[3]; line += 20) {
            for (int x = w[0] + 16; x < w[0] + w[2] - 40;) {
                const int word = 12 + static_cast<int>(next() % 70);
                for (int glyph = x; glyph < std::min(x + word, w[0] + w[2] - 16); glyph += 7) {
                    fill(glyph, line + static_cast<int>(next() % 4),
                         2 + static_cast<int>(next() % 4), 8 + static_cast<int>(next() % 5),
                         (next() % 5 == 0) ? 0x1a5fb4 : 0x202020);
                }
                x += word + 8;
            }
        }
    }
    for (int y = 380; y < 980; ++y) {
        for (int x = 80; x < 680; ++x) {
            const double v = std::sin(x * 0.021) * std::cos(y * 0.017) + std::sin((x + y) * 0.009);
            const auto grain = static_cast<int>(next() % 24);
            const auto r = static_cast<std::uint32_t>(std::clamp(120 + v * 60 + grain, 0.0, 255.0));
            const auto g = static_cast<std::uint32_t>(std::clamp(100 + v * 50 + grain, 0.0, 255.0));
            const auto b = static_cast<std::uint32_t>(std::clamp(80 - v * 40 + grain, 0.0, 255.0));
            pixels[static_cast<std::size_t>(y) * kWidth + x] = (r << 16) | (g << 8) | b;
        }
    }
    return pixels;
}

inline double p95(const std::vector<double>& values) {
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    return sorted[static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(sorted.size()))) -
                  1];
}

inline benchmark::internal::Benchmark* measured(benchmark::internal::Benchmark* b,
                                                int repetitions) {
    return b->Iterations(1)
        ->Repetitions(repetitions)
        ->ReportAggregatesOnly(true)
        ->ComputeStatistics("p95", p95)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

struct ScreenshotCase {
    const char* name;
    const char* format;
    int width;
    int quality;
};

// Whole screenshots in the given formats, then the parts every platform has: the display list
// and one frame scaled to 960.
inline void registerScreenshotCases(const std::string& prefix, CaptureBackend& backend,
                                    std::initializer_list<ScreenshotCase> cases) {
    namespace shot = Screenshot;
    for (const ScreenshotCase& c : cases) {
        measured(benchmark::RegisterBenchmark((prefix + c.name).c_str(),
                                              [&backend, c](benchmark::State& state) {
                                                  for (auto _ : state) {
                                                      benchmark::DoNotOptimize(shot::capture(
                                                          backend, c.format, c.width, c.quality));
                                                  }
                                              }),
                 300);
    }
    measured(benchmark::RegisterBenchmark((prefix + "part/displays").c_str(),
                                          [&backend](benchmark::State& state) {
                                              for (auto _ : state) {
                                                  benchmark::DoNotOptimize(backend.displays());
                                              }
                                          }),
             300);
    measured(benchmark::RegisterBenchmark((prefix + "part/capture_frame_960").c_str(),
                                          [&backend](benchmark::State& state) {
                                              for (auto _ : state) {
                                                  benchmark::DoNotOptimize(
                                                      shot::captureFrame(backend, 960));
                                              }
                                          }),
             300);
}

} // namespace zel::bench
