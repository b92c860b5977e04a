// Screenshot and input latency through the desktop portal on a private headless mutter
// (1920x1080, software rendering), its dialogs answered as in the tests. mutter has no wallpaper
// of ours: a full-screen terminal showing text is the busy picture. Median and 95th percentile
// over repetitions.
#include "bench/screenshot_bench_support.hpp"
#include "capture/screenshot.hpp"
#include "input/input_actions.hpp"
#include "platform/portal/portal_backends.hpp"
#include "tests/support/mutter.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <cstdio>
#include <thread>

namespace {

namespace shot = zel::Screenshot;
using zel::bench::measured;
using zel::portal::Session;

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    zel::test::Mutter mutter;
    const zel::test::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", mutter.busAddress().c_str());
    const auto session = std::make_shared<Session>(mutter.path("state"));
    const auto backends = zel::portal::makeBackends(session);
    const auto& backend = backends.capture;
    const auto& input = backends.input;
    session->begin();
    for (const auto part : {Session::Part::screen, Session::Part::control}) {
        const auto dialog = part == Session::Part::screen ? zel::test::Mutter::Dialog::screen
                                                          : zel::test::Mutter::Dialog::control;
        const auto shown = [&] {
            if (part == Session::Part::screen) {
                return true;
            }
            const zel::Image image = shot::captureFrame(*backend, zel::bench::kWidth);
            return zel::test::dialogShown([&](int x, int y) {
                const std::uint8_t* p = image.data() +
                                        static_cast<std::size_t>(y) * image.stride() +
                                        static_cast<std::size_t>(x) * 4;
                return std::array<int, 3>{p[2], p[1], p[0]};
            });
        };
        if (!mutter.answerDialog(
                dialog, true, [&] { return session->state(part) != Session::State::waiting; },
                shown) ||
            session->state(part) != Session::State::running) {
            std::fputs("the portal's dialog was not answered\n", stderr);
            return 1;
        }
    }
    const zel::test::Child foot(
        {"sh", "-c",
         "exec foot --fullscreen sh -c 'while :; do cat \"$0\"/*.md; sleep 600; done' 2>/dev/null",
         ZEL_SOURCE_DIR},
        mutter.clientEnv());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    zel::InputActions::perform(*input, R"({"action":"move","coordinate":[520,463]})");

    measured(benchmark::RegisterBenchmark("portal/jpeg_960_q62",
                                          [&backend](benchmark::State& state) {
                                              for (auto _ : state) {
                                                  benchmark::DoNotOptimize(
                                                      shot::capture(*backend, "jpeg", 960, 62));
                                              }
                                          }),
             300);
    measured(benchmark::RegisterBenchmark("portal/part/capture_frame_960",
                                          [&backend](benchmark::State& state) {
                                              for (auto _ : state) {
                                                  benchmark::DoNotOptimize(
                                                      shot::captureFrame(*backend, 960));
                                              }
                                          }),
             300);
    measured(benchmark::RegisterBenchmark(
                 "portal/perform_move",
                 [&input](benchmark::State& state) {
                     for (auto _ : state) {
                         benchmark::DoNotOptimize(zel::InputActions::perform(
                             *input, R"({"action":"move","coordinate":[250,750]})"));
                     }
                 }),
             300);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
