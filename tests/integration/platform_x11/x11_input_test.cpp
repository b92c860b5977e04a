// InputActions over the X11 backend against a private Xvfb, with xev covering the screen as
// the client that records the events reaching it.
#include "platform/x11/x11_input.hpp"
#include "tests/support/input_arrivals.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

std::string keymap(const zel::test::Xvfb& xvfb) {
    return zel::test::runCommand({"xkbcomp", "-xkb", xvfb.display(), "-"}).output;
}

// Typed text goes through the keymap with Shift where needed, else through spare keys lent for
// the moment, more characters than there are spare keys among them; the keymap is as before once
// typing is idle.
TEST(InputX11, EachRequestArrivesAtTheRecordingClientAndTheKeymapIsGivenBack) {
    const zel::test::Xvfb xvfb{1512, 982};
    const zel::test::ScopedEnv display{"DISPLAY", xvfb.display().c_str()};
    const zel::test::TempDir dir;
    zel::test::Recorder xev{
        (dir.path() / "xev.log").string(), zel::test::parseXev, {0, 0, 1512, 982}, 0, 0, 1512, 982};
    const zel::test::Child recorder{{"sh", "-c",
                                     "exec stdbuf -oL xev -name zelrec -geometry 1512x982+0+0 "
                                     "-event keyboard -event button -event mouse >\"$0\" 2>&1",
                                     xev.log}};
    ASSERT_EQ(zel::test::runCommand({"timeout", "10", "xdotool", "search", "--sync", "--name",
                                     "^zelrec$", "windowfocus", "--sync"})
                  .exitStatus,
              0);
    xev.checksMoreButtons = true;
    const auto before = keymap(xvfb);
    const auto input = zel::x11::makeInputBackend();
    zel::test::expectArrivals(*input, xev,
                              {"Hello, World! ~_~\n\tok", "Grüße, é € ½ ✓ 😀",
                               "天地玄黄宇宙洪荒日月盈昃辰宿列张寒来暑往秋收冬藏闰余成岁律吕调阳"});
    EXPECT_NE(keymap(xvfb), before); // lent keys stay lent while typing may go on
    EXPECT_TRUE(zel::test::waitUntil([&] { return keymap(xvfb) == before; }, 4s));
}

} // namespace
