// Screenshot latency on a private 1920x1080 Xvfb showing a busy picture: end to end, each stage
// alone, and the peer (scrot to PNG, then ImageMagick's convert to a 960-wide JPEG at q62).
// Median and 95th percentile over repetitions; then 1,000 captures in a row against memory.
#include "bench/screenshot_bench_support.hpp"
#include "capture/image_scaling.hpp"
#include "capture/screenshot.hpp"
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_frame_grabber.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

namespace {

namespace shot = zel::Screenshot;
using namespace std::chrono_literals;

using zel::bench::busyPicture;
using zel::bench::kHeight;
using zel::bench::kWidth;
using zel::bench::measured;
using zel::bench::p95;

// Puts the picture on the root window; the connection must stay open (the server resets when
// its last client leaves).
std::shared_ptr<zel::x11::Connection> showOnRoot(const std::string& display) {
    auto connection = zel::x11::Connection::open(display.c_str());
    xcb_connection_t* c = connection->get();
    const xcb_screen_t& screen = connection->screen();
    const std::vector<std::uint32_t> pixels = busyPicture();
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, screen.root_depth, pixmap, screen.root, kWidth, kHeight);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, pixmap, 0, nullptr);
    const int rowsPerRequest = 32; // well under the core request size limit
    for (int y = 0; y < kHeight; y += rowsPerRequest) {
        const int rows = std::min(rowsPerRequest, kHeight - y);
        xcb_put_image(
            c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, kWidth, rows, 0, static_cast<std::int16_t>(y),
            0, screen.root_depth, static_cast<std::uint32_t>(kWidth * rows * 4),
            reinterpret_cast<const std::uint8_t*>(&pixels[static_cast<std::size_t>(y) * kWidth]));
    }
    xcb_change_window_attributes(c, screen.root, XCB_CW_BACK_PIXMAP, &pixmap);
    xcb_clear_area(c, 0, screen.root, 0, 0, 0, 0);
    xcb_free_gc(c, gc);
    xcb_free_pixmap(c, pixmap);
    const zel::x11::Reply<xcb_get_input_focus_reply_t> sync(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    return connection;
}

void run(const std::string& display, const std::vector<std::string>& argv) {
    zel::test::Child child(argv, {"DISPLAY=" + display});
    const auto status = child.waitFor(60s);
    if (!status || *status != 0) {
        throw std::runtime_error(argv[0] + " failed");
    }
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

int ownSegments() {
    std::ifstream table("/proc/sysvipc/shm");
    std::string line;
    std::getline(table, line);
    int count = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        long key = 0, id = 0, perms = 0, size = 0, creator = 0;
        fields >> key >> id >> perms >> size >> creator;
        count += creator == ::getpid() ? 1 : 0;
    }
    return count;
}

// The console table as usual, and every median kept by name for the summary below it.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    MedianReporter()
        : ConsoleReporter(::isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.aggregate_name == "median") {
                medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    [[nodiscard]] double median(const std::string& name) const {
        const auto found = medians_.find(name);
        return found == medians_.end() ? NAN : found->second;
    }

private:
    std::map<std::string, double> medians_;
};

// Rounds of one capture end to end followed by its stages one by one, each stage on what the one
// before it just produced, as in a capture. Both halves of a round meet the same load, so the
// median of the rounds' ratios shows what the per-request set-up adds.
void compareWithStages(zel::CaptureBackend& backend, zel::x11::FrameGrabber& grabber, int rounds) {
    using Clock = std::chrono::steady_clock;
    const auto millisecondsSince = [](Clock::time_point start) {
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    std::vector<double> ends, sums, ratios;
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        benchmark::DoNotOptimize(shot::capture(backend, "jpeg", 960, 62));
        const double end = millisecondsSince(start);
        double sum = 0;
        start = Clock::now();
        const zel::PixelView screen = grabber.grab(); // with the cursor, as in a capture
        sum += millisecondsSince(start);
        start = Clock::now();
        zel::Image frame(960, 540);
        zel::scaleInto({screen.data, screen.width, screen.height, screen.stride}, frame.view());
        sum += millisecondsSince(start);
        start = Clock::now();
        benchmark::DoNotOptimize(shot::encode(frame, "jpeg", 62));
        sum += millisecondsSince(start);
        ends.push_back(end);
        sums.push_back(sum);
        ratios.push_back(end / sum);
    }
    const auto median = [](std::vector<double> values) {
        const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
        std::nth_element(values.begin(), middle, values.end());
        return *middle;
    };
    std::printf("jpeg 960 q62 in %d alternating rounds: end to end %.2f ms, its stages on fresh "
                "data %.2f ms; median round %+.0f %% (p95 %+.0f %%)\n",
                rounds, median(ends), median(sums), 100 * (median(ratios) - 1),
                100 * (p95(ratios) - 1));
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const zel::test::Xvfb xvfb(kWidth, kHeight);
    const auto painter = showOnRoot(xvfb.display());
    run(xvfb.display(), {"xdotool", "mousemove", "1000", "500"});
    ::setenv("DISPLAY", xvfb.display().c_str(), 1);
    const int segmentsAtStart = ownSegments();
    const auto backend = zel::x11::makeCaptureBackend();
    const zel::test::TempDir temp;

    zel::bench::registerScreenshotCases("capture/", *backend,
                                        {{"jpeg_960_q62", "jpeg", 960, 62},
                                         {"png_960", "png", 960, 62},
                                         {"jpeg_2560_q90", "jpeg", 2560, 90}});
    auto connection = zel::x11::Connection::open(xvfb.display().c_str());
    zel::x11::SegmentPool pool;
    // The cursor's share is the difference between a grabber that draws it and one that does not.
    zel::x11::FrameGrabber grabber(connection, {0, 0, kWidth, kHeight}, true, &pool);
    zel::x11::FrameGrabber bare(connection, {0, 0, kWidth, kHeight}, false, &pool);
    const zel::PixelView screen = grabber.grab();
    zel::Image scaled(960, 540);
    zel::scaleInto({screen.data, screen.width, screen.height, screen.stride}, scaled.view());
    measured(benchmark::RegisterBenchmark("stage/grab_1920x1080",
                                          [&](benchmark::State& state) {
                                              for (auto _ : state) {
                                                  benchmark::DoNotOptimize(bare.grab());
                                              }
                                          }),
             300);
    measured(benchmark::RegisterBenchmark("stage/grab_1920x1080_with_cursor",
                                          [&](benchmark::State& state) {
                                              for (auto _ : state) {
                                                  benchmark::DoNotOptimize(grabber.grab());
                                              }
                                          }),
             300);
    measured(benchmark::RegisterBenchmark("stage/scale_to_960x540",
                                          [&](benchmark::State& state) {
                                              for (auto _ : state) {
                                                  zel::Image frame(960, 540);
                                                  zel::scaleInto({screen.data, screen.width,
                                                                  screen.height, screen.stride},
                                                                 frame.view());
                                                  benchmark::DoNotOptimize(frame.data());
                                              }
                                          }),
             300);
    for (const char* format : {"jpeg", "png"}) {
        measured(
            benchmark::RegisterBenchmark((std::string("stage/encode_960x540_") + format).c_str(),
                                         [&scaled, format](benchmark::State& state) {
                                             std::size_t bytes = 0;
                                             for (auto _ : state) {
                                                 bytes = shot::encode(scaled, format, 62)->size();
                                             }
                                             state.counters["bytes"] = static_cast<double>(bytes);
                                         }),
            300);
    }
    const std::string png = (temp.path() / "peer.png").string();
    const std::string jpeg = (temp.path() / "peer.jpg").string();
    measured(benchmark::RegisterBenchmark("peer/scrot_png_then_convert_jpeg_960_q62",
                                          [&](benchmark::State& state) {
                                              for (auto _ : state) {
                                                  run(xvfb.display(), {"scrot", "-o", png});
                                                  // ImageMagick itself, not any wrapper earlier on
                                                  // PATH.
                                                  run(xvfb.display(),
                                                      {"/usr/bin/convert", png, "-resize", "960x",
                                                       "-quality", "62", jpeg});
                                              }
                                          }),
             20);

    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double endToEnd = reporter.median("capture/jpeg_960_q62");
    const double stages = reporter.median("stage/grab_1920x1080_with_cursor") +
                          reporter.median("stage/scale_to_960x540") +
                          reporter.median("stage/encode_960x540_jpeg");
    const double peer = reporter.median("peer/scrot_png_then_convert_jpeg_960_q62");
    std::printf("jpeg 960 q62: end to end %.2f ms, %+.0f %% against the sum of its stages alone "
                "(%.2f ms); %.0fx faster than the peer; the cursor adds %.2f ms to a grab\n",
                endToEnd, 100 * (endToEnd / stages - 1), stages, peer / endToEnd,
                reporter.median("stage/grab_1920x1080_with_cursor") -
                    reporter.median("stage/grab_1920x1080"));
    compareWithStages(*backend, grabber, 300);

    shot::capture(*backend, "jpeg", 960, 62);
    const long rssBefore = residentKiB();
    const int segmentsBefore = ownSegments();
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const long faultsBefore = usage.ru_minflt;
    for (int i = 0; i < 1000; ++i) {
        shot::capture(*backend, "jpeg", 960, 62);
    }
    ::getrusage(RUSAGE_SELF, &usage);
    // Page faults show memory handed back to the kernel and touched afresh on every capture.
    std::printf("1000 captures (jpeg 960 q62): resident %ld KiB -> %ld KiB; own SHM segments "
                "%d -> %d (%d before the backend's first capture); %.1f page faults a capture\n",
                rssBefore, residentKiB(), segmentsBefore, ownSegments(), segmentsAtStart,
                static_cast<double>(usage.ru_minflt - faultsBefore) / 1000);
    benchmark::Shutdown();
    return 0;
}
