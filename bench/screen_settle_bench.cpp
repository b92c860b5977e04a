// Zoom and settle figures through the control service over a private 1920x1080 Xvfb showing a busy
// picture, wired as the app wires them: a whole 1280-wide JPEG screenshot against zooms into a
// 600x300 area at its own pixels, and how long /settle answers after the last change (beyond its
// quiet time) while the root window is drawn every 20 ms for 300 ms. Median of 10 each.
#include "app/platform_desktop.hpp"
#include "bench/screenshot_bench_support.hpp"
#include "control_service/control_service.hpp"
#include "platform/x11/x11_connection.hpp"
#include "tests/support/control_client.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <benchmark/benchmark.h>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr std::string_view kSecret = "0D1E2F3A-4B5C-4D6E-8F70-8192A3B4C5D6";

struct Desktop {
    zel::test::Xvfb xvfb{zel::bench::kWidth, zel::bench::kHeight};
    zel::test::ScopedEnv display{"DISPLAY", xvfb.display().c_str()};
    zel::test::TempDir logHome;
    zel::test::ScopedEnv log{"XDG_STATE_HOME", logHome.path().c_str()};
    std::shared_ptr<zel::x11::Connection> painter =
        zel::x11::Connection::open(xvfb.display().c_str());
    std::unique_ptr<zel::ControlService> service;

    Desktop() {
        xcb_connection_t* c = painter->get();
        const xcb_screen_t& screen = painter->screen();
        const std::vector<std::uint32_t> pixels = zel::bench::busyPicture();
        const xcb_gcontext_t gc = xcb_generate_id(c);
        xcb_create_gc(c, gc, screen.root, 0, nullptr);
        for (int y = 0; y < zel::bench::kHeight; y += 32) {
            const int rows = std::min(32, zel::bench::kHeight - y);
            xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen.root, gc, zel::bench::kWidth, rows,
                          0, static_cast<std::int16_t>(y), 0, screen.root_depth,
                          static_cast<std::uint32_t>(zel::bench::kWidth * rows * 4),
                          reinterpret_cast<const std::uint8_t*>(
                              &pixels[static_cast<std::size_t>(y) * zel::bench::kWidth]));
        }
        xcb_free_gc(c, gc);
        xcb_flush(c);
        zel::ControlServiceConfig config;
        config.port = 0;
        config.secret = std::string(kSecret);
        config.handlers = zel::controlHandlers(zel::makePlatformDesktop());
        service = std::make_unique<zel::ControlService>(std::move(config));
    }
    [[nodiscard]] zel::test::ParsedReply get(const std::string& target) const {
        return zel::test::parseReply(zel::test::roundTrip(
            service->port(),
            "GET " + target + "&secret=" + std::string(kSecret) + " HTTP/1.1\r\n\r\n"));
    }
    // Small rectangles on the root window every 20 ms for the duration; returns when it drew last.
    [[nodiscard]] Clock::time_point drawFor(std::chrono::milliseconds duration) const {
        xcb_connection_t* c = painter->get();
        const xcb_gcontext_t gc = xcb_generate_id(c);
        const std::uint32_t colour = 0xff8800;
        xcb_create_gc(c, gc, painter->screen().root, XCB_GC_FOREGROUND, &colour);
        Clock::time_point last;
        for (const auto end = Clock::now() + duration; Clock::now() < end;) {
            const xcb_rectangle_t box{static_cast<std::int16_t>(200 + std::rand() % 1400),
                                      static_cast<std::int16_t>(200 + std::rand() % 700), 40, 20};
            xcb_poly_fill_rectangle(c, painter->screen().root, gc, 1, &box);
            xcb_flush(c);
            last = Clock::now();
            std::this_thread::sleep_for(20ms);
        }
        xcb_free_gc(c, gc);
        xcb_flush(c);
        return last;
    }
};

Desktop& desktop() {
    static Desktop instance;
    return instance;
}

void BM_Capture(benchmark::State& state, const std::string& target) {
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the library's loop
        const auto reply = desktop().get(target);
        if (reply.status != "200 OK") {
            state.SkipWithError(reply.body.c_str());
            break;
        }
        state.counters["kB"] = static_cast<double>(reply.body.size()) / 1000;
    }
}

// The time from the last drawing to the answer, less the quiet time asked for.
void BM_SettleAfterTheLastChange(benchmark::State& state) {
    const auto quiet = std::chrono::milliseconds(state.range(0));
    (void)desktop().get("/settle?quiet_ms=0&limit_ms=0"); // the watch has started
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the library's loop
        auto answer = std::async(std::launch::async, [&] {
            const auto reply = desktop().get("/settle?quiet_ms=" + std::to_string(quiet.count()) +
                                             "&limit_ms=10000");
            return std::pair(Clock::now(), reply.body);
        });
        std::this_thread::sleep_for(10ms);
        const Clock::time_point last = desktop().drawFor(300ms);
        const auto [answered, body] = answer.get();
        if (body.find(R"("settled":true)") == std::string::npos) {
            state.SkipWithError(body.c_str());
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(answered - last - quiet).count());
    }
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (const auto& [name, target] : std::initializer_list<std::pair<const char*, std::string>>{
             {"screenshot/jpeg_1280", "/screenshot?format=jpeg&width=1280"},
             {"screenshot/png_1280", "/screenshot?format=png&width=1280"},
             {"zoom/png_600x300", "/screenshot?format=png&region=660,390,600,300"},
             {"zoom/jpeg_600x300", "/screenshot?format=jpeg&quality=90&region=660,390,600,300"}}) {
        zel::bench::measured(benchmark::RegisterBenchmark(name, BM_Capture, target), 10);
    }
    benchmark::RegisterBenchmark("settle/after_last_change", BM_SettleAfterTheLastChange)
        ->Arg(100)
        ->Arg(300)
        ->Iterations(1)
        ->Repetitions(10)
        ->ReportAggregatesOnly(true)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
