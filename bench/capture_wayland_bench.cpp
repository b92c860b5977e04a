// Screenshot latency on a private headless sway (1920x1080, pixman renderer) with the X11
// benchmark's busy picture as its wallpaper and the cursor on it: end to end, the frame alone
// (screencopy and scaling) and the display list. Median and 95th percentile over repetitions.
#include "bench/screenshot_bench_support.hpp"
#include "capture/screenshot.hpp"
#include "input/input_actions.hpp"
#include "platform/wayland/wayland_capture.hpp"
#include "platform/wayland/wayland_damage.hpp"
#include "platform/wayland/wayland_input.hpp"
#include "tests/support/sway.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

namespace {

namespace shot = zel::Screenshot;
using zel::bench::kHeight;
using zel::bench::kWidth;
using zel::bench::measured;

// The picture as a PNG that swaybg (running as the compositor's user) can read.
std::string writePicture(const zel::test::Sway& sway) {
    const std::vector<std::uint32_t> pixels = zel::bench::busyPicture();
    zel::Image image(kWidth, kHeight);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        std::memcpy(image.data() + i * 4, &pixels[i], 4);
        image.data()[i * 4 + 3] = 0xff;
    }
    const auto png = shot::encode(image, "png", 0);
    std::string path = sway.path("busy.png");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(png->data()),
               static_cast<std::streamsize>(png->size()));
    std::filesystem::permissions(path, std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::add);
    return path;
}

double processSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The change source: what watching a still desktop costs, and how soon a pointer move is
// reported (the cursor is drawn into the output, so its move is damage).
void damageFigures(const zel::test::Sway& sway, zel::InputBackend& input) {
    std::mutex mutex;
    std::condition_variable arrived;
    int reports = 0;
    const auto watch = zel::wayland::makeChangeSource(sway.socket())->watch([&](const auto&) {
        const std::lock_guard guard(mutex);
        ++reports;
        arrived.notify_all();
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    int before = 0;
    {
        const std::lock_guard guard(mutex);
        before = reports;
    }
    const double cpu = processSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double idle = processSeconds() - cpu;
    int stillReports = 0;
    {
        const std::lock_guard guard(mutex);
        stillReports = reports - before;
    }
    std::vector<double> latencies;
    for (int i = 0; i < 40; ++i) {
        int seen = 0;
        {
            const std::lock_guard guard(mutex);
            seen = reports;
        }
        const auto start = std::chrono::steady_clock::now();
        zel::InputActions::perform(input, R"({"action":"move","coordinate":[)" +
                                              std::to_string(200 + (i % 2) * 500) + ",500]}");
        std::unique_lock guard(mutex);
        if (arrived.wait_for(guard, std::chrono::seconds(2), [&] { return reports > seen; })) {
            latencies.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
        }
        guard.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("damage watch: %d reports while still, %.1f ms CPU in 5 s idle (%.2f %% of a "
                "core); a move reported after %.1f ms median, %.1f ms p95 (%zu of 40)\n",
                stillReports, idle * 1000, idle / 5 * 100,
                latencies.empty() ? 0.0 : latencies[latencies.size() / 2],
                latencies.empty() ? 0.0 : zel::bench::p95(latencies), latencies.size());
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const zel::test::Sway sway;
    if (sway.message({"output", "HEADLESS-1", "bg", writePicture(sway), "stretch"}).exitStatus !=
        0) {
        std::fputs("sway did not take the wallpaper\n", stderr);
        return 1;
    }
    const auto backend = zel::wayland::makeCaptureBackend(sway.socket());
    const auto input = zel::wayland::makeInputBackend(sway.socket());
    zel::InputActions::perform(*input, R"({"action":"move","coordinate":[520,463]})");
    // The wallpaper is drawn a moment later: the first window's title bar shows it.
    for (int attempt = 0; attempt < 150; ++attempt) {
        const zel::Image frame = shot::captureFrame(*backend, kWidth);
        const std::uint8_t* p = frame.data() + 55 * frame.stride() + std::size_t{65} * 4;
        if (p[0] == 0x30 && p[1] == 0x2d && p[2] == 0x2d) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    damageFigures(sway, *input);
    zel::bench::registerScreenshotCases(
        "wayland/", *backend, {{"jpeg_960_q62", "jpeg", 960, 62}, {"png_960", "png", 960, 62}});
    // Back to back, each copy waits for the output's next frame (60 Hz); a request after a
    // pause, as the phone's usually are, finds the compositor ready to draw.
    measured(benchmark::RegisterBenchmark(
                 "wayland/jpeg_960_q62_after_40ms_idle",
                 [&backend](benchmark::State& state) {
                     for (auto _ : state) {
                         state.PauseTiming();
                         std::this_thread::sleep_for(std::chrono::milliseconds(40));
                         state.ResumeTiming();
                         benchmark::DoNotOptimize(shot::capture(*backend, "jpeg", 960, 62));
                     }
                 }),
             300);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
