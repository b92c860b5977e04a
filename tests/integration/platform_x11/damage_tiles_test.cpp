// The live view's tiles over X11's Damage on a private Xvfb, at the desktop's own pixels where the
// changed areas are grabbed through MIT-SHM: painted windows come in small tiles of their colour.
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_damage.hpp"
#include "platform/x11/x11_input.hpp"
#include "tests/integration/platform_x11/x11_test_screen.hpp"
#include "tests/support/damage_tiles.hpp"
#include "tests/support/xvfb.hpp"

#include <csignal>
#include <gtest/gtest.h>

namespace zel {
namespace {

TEST(X11DamageTiles, HoldThePaintedColourAndNothingIsSentWhenNothingChanged) {
    // The X server is stopped under live connections at the end, and libxcb writes without
    // MSG_NOSIGNAL: a write then must fail, not end the test program.
    std::signal(SIGPIPE, SIG_IGN);
    test::Xvfb xvfb(1280, 800);
    auto painter = test::paintRoot(xvfb.display(), {{{0, 0, 1280, 800}, 0x000000}});
    const test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
    const auto input = x11::makeInputBackend();
    std::vector<std::unique_ptr<test::Child>> windows;
    // xlogo drawn in its background colour alone.
    const auto paint = [&](std::size_t i) {
        const auto& [r, rgb] = test::kDamagePaints[i];
        const std::string colour = "'#" + std::string(rgb) + "'";
        windows.push_back(std::make_unique<test::Child>(std::vector<std::string>{
            "sh", "-c",
            "exec xlogo -bw 0 -bg " + colour + " -fg " + colour + " -geometry " +
                std::to_string(r.width) + "x" + std::to_string(r.height) + "+" +
                std::to_string(r.x) + "+" + std::to_string(r.y) + " 2>/dev/null"}));
    };
    test::checkDamageTiles(x11::makeCaptureBackend(), x11::makeChangeSource(), *input, 1280, 800,
                           true, paint, [&] {
                               windows.clear();
                               painter.reset();
                               xvfb.stop();
                           });
}

} // namespace
} // namespace zel
