// How long InputActions::perform takes for "move" (an action without pauses): over the real
// X11 backend on a private Xvfb, over the Wayland backend on a private headless sway, and over a
// backend that does nothing (the core alone); and the pace of typed text over X11.
#include "input/input_actions.hpp"
#include "platform/wayland/wayland_input.hpp"
#include "platform/x11/x11_input.hpp"
#include "tests/support/sway.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <string>
#include <vector>

namespace {

constexpr std::string_view kMove = R"({"action":"move","coordinate":[250,750]})";

class NullBackend final : public zel::InputBackend {
public:
    bool trusted() override { return true; }
    zel::DisplayBounds mainDisplayBounds() override { return {0, 0, 1920, 1080}; }
    void postMouse(zel::MouseEventType, zel::ScreenPoint point, zel::MouseButton) override {
        benchmark::DoNotOptimize(point);
    }
    void postScroll(int) override {}
    bool canPostKey(zel::Key, zel::KeyModifiers) override { return true; }
    void postKey(zel::Key, bool, zel::KeyModifiers) override {}
    void pause(std::chrono::microseconds) override {}
};

// Times every call so that the figure is the median of single requests, not of batch means.
void measure(benchmark::State& state, zel::InputBackend& backend) {
    std::vector<double> micros;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        const auto start = std::chrono::steady_clock::now();
        auto response = zel::InputActions::perform(backend, kMove);
        const auto end = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(response);
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
        state.counters["median_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    }
}

void BM_PerformMoveX11(benchmark::State& state) {
    const zel::test::Xvfb xvfb(1920, 1080);
    const zel::test::ScopedEnv display("DISPLAY", xvfb.display().c_str());
    const auto backend = zel::x11::makeInputBackend();
    zel::InputActions::perform(*backend, kMove); // connect outside the timing
    measure(state, *backend);
}
BENCHMARK(BM_PerformMoveX11)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// Every request reads the output layout afresh: a round trip to the compositor.
void BM_PerformMoveWayland(benchmark::State& state) {
    const zel::test::Sway sway;
    const auto backend = zel::wayland::makeInputBackend(sway.socket());
    zel::InputActions::perform(*backend, kMove); // devices made outside the timing
    measure(state, *backend);
}
BENCHMARK(BM_PerformMoveWayland)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void BM_PerformMoveCoreOnly(benchmark::State& state) {
    NullBackend backend;
    measure(state, backend);
}
BENCHMARK(BM_PerformMoveCoreOnly)->Unit(benchmark::kMicrosecond);

// Characters a second of "type_text" over X11: 200 ASCII characters from the keymap, and 200
// distinct Chinese ones that each borrow one of the spare keycodes (more characters than spares,
// so lent keys are lent again, waiting for their 200 ms).
void BM_TypeTextX11(benchmark::State& state) {
    const zel::test::Xvfb xvfb(1920, 1080);
    const zel::test::ScopedEnv display("DISPLAY", xvfb.display().c_str());
    const auto backend = zel::x11::makeInputBackend();
    std::string text;
    for (int i = 0; i < 200; ++i) {
        if (state.range(0) == 0) {
            text += static_cast<char>('a' + i % 26);
        } else {
            const char32_t point = 0x4e00 + i; // CJK ideographs, three UTF-8 bytes each
            text += static_cast<char>(0xe0 | (point >> 12));
            text += static_cast<char>(0x80 | ((point >> 6) & 0x3f));
            text += static_cast<char>(0x80 | (point & 0x3f));
        }
    }
    const std::string body = nlohmann::json{{"action", "type_text"}, {"text", text}}.dump();
    double seconds = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(zel::InputActions::perform(*backend, body));
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["chars_per_s"] = 200.0 * static_cast<double>(state.iterations()) / seconds;
}
BENCHMARK(BM_TypeTextX11)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
