// Control service figures: request parsing, the round trip of a refused (403) request over real
// TCP, and the latency of a real screenshot alone and beside a continuously running drag.
#include "app/platform_desktop.hpp"
#include "control_service/control_service.hpp"
#include "control_service/http_codec.hpp"
#include "tests/support/control_client.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <atomic>
#include <benchmark/benchmark.h>
#include <thread>

namespace {

constexpr std::string_view kSecret = "6C1D2E3F-4A5B-4C6D-9E7F-8091A2B3C4D5";

void BM_ParseRequest(benchmark::State& state) {
    const std::string text = "GET /screenshot?secret=" + std::string(kSecret) +
                             "&format=png&width=1280&quality=70 HTTP/1.1\r\n"
                             "Host: 127.0.0.1:8788\r\nUser-Agent: node\r\n\r\n";
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the library's loop
        auto request = zel::localHTTPRequest(text, bytes);
        benchmark::DoNotOptimize(zel::screenshotRequestParams(request));
    }
}
BENCHMARK(BM_ParseRequest);

// Connect, send a request without the secret, read the 403 to the close.
void BM_RefusedRoundTrip(benchmark::State& state) {
    const zel::test::TempDir logHome;
    const zel::test::ScopedEnv env("XDG_STATE_HOME", logHome.path().c_str());
    zel::ControlServiceConfig config;
    config.port = 0;
    config.secret = std::string(kSecret);
    const zel::ControlService service(std::move(config));
    const std::string request = "GET /screenshot HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the library's loop
        benchmark::DoNotOptimize(zel::test::roundTrip(service.port(), request));
    }
    state.counters["requests/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RefusedRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A real 960-wide JPEG of a 1280x800 private X server; with Arg 1 a drag (458 ms of pauses)
// runs back to back on another connection the whole time.
void BM_ScreenshotBesideDrag(benchmark::State& state) {
    const zel::test::Xvfb xvfb(1280, 800);
    const zel::test::ScopedEnv display("DISPLAY", xvfb.display().c_str());
    const zel::test::TempDir logHome;
    const zel::test::ScopedEnv env("XDG_STATE_HOME", logHome.path().c_str());
    zel::ControlServiceConfig config;
    config.port = 0;
    config.secret = std::string(kSecret);
    config.handlers = zel::controlHandlers(zel::makePlatformDesktop());
    const zel::ControlService service(std::move(config));
    const auto port = service.port();
    const std::string secret = "secret=" + std::string(kSecret);

    std::atomic<bool> running{state.range(0) != 0};
    std::atomic<int> drags{0};
    std::thread dragger([&] {
        const std::string drag = "POST /input?" + secret + " HTTP/1.1\r\n\r\n" +
                                 R"({"action":"drag","from":[100,100],"to":[900,900]})";
        while (running) {
            zel::test::roundTrip(port, drag);
            ++drags;
        }
    });
    const std::string shot = "GET /screenshot?" + secret + " HTTP/1.1\r\n\r\n";
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the library's loop
        const auto reply = zel::test::parseReply(zel::test::roundTrip(port, shot));
        if (reply.status != "200 OK") {
            state.SkipWithError(("screenshot failed: " + reply.body).c_str());
            break;
        }
    }
    running = false;
    dragger.join();
    state.counters["drags"] = drags.load();
}
BENCHMARK(BM_ScreenshotBesideDrag)
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0);

} // namespace

BENCHMARK_MAIN();
