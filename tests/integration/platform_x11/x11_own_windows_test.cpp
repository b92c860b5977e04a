// The X server's view of a process's windows on a private Xvfb: a point is the process's only
// where its window is on top; a window stacked over it takes the point, without a window manager
// and inside a frame alike; the server's input focus on it is the process's.
#include "platform/x11/x11_own_windows.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <gtest/gtest.h>
#include <memory>

namespace {

using namespace std::chrono_literals;
using zel::test::runCommand;

// An xmessage at the geometry whose window is marked with the pid, as toolkits mark theirs.
std::unique_ptr<zel::test::Child> markedWindow(const std::string& name, const std::string& geometry,
                                               int pid) {
    auto child = std::make_unique<zel::test::Child>(std::vector<std::string>{
        "xmessage", "-name", name, "-title", name, "-geometry", geometry, "a window"});
    const auto found = runCommand({"timeout", "10", "xdotool", "search", "--sync", "--onlyvisible",
                                   "--name", "^" + name + "$"});
    const std::string id = found.output.substr(0, found.output.find('\n'));
    runCommand({"xprop", "-id", id, "-f", "_NET_WM_PID", "32c", "-set", "_NET_WM_PID",
                std::to_string(pid)});
    return child;
}

TEST(OwnWindowsX11, APointIsOursWhereOurWindowIsOnTop) {
    const zel::test::Xvfb xvfb{800, 600};
    const zel::test::ScopedEnv display{"DISPLAY", xvfb.display().c_str()};
    const auto window = markedWindow("zelown", "300x200+100+100", 4242);
    const auto own = zel::x11::makeOwnWindows(4242);
    const auto others = zel::x11::makeOwnWindows(4343);
    ASSERT_TRUE(zel::test::waitUntil([&] { return own->covers({150, 150}); }, 10s));
    EXPECT_FALSE(own->covers({50, 50})) << "the bare root";
    EXPECT_FALSE(own->covers({450, 150})) << "right of the window";
    EXPECT_FALSE(others->covers({150, 150})) << "another process";
    EXPECT_FALSE(own->focused()) << "the focus follows the pointer to the root";
    const std::string id = runCommand({"xdotool", "search", "--name", "^zelown$"}).output;
    runCommand({"xdotool", "windowfocus", "--sync", id.substr(0, id.find('\n'))});
    EXPECT_TRUE(own->focused());
    EXPECT_FALSE(others->focused());
    // A newer window stacked over part of ours takes that part.
    const auto over = markedWindow("zelover", "100x100+120+120", 4343);
    ASSERT_TRUE(zel::test::waitUntil([&] { return others->covers({150, 150}); }, 10s));
    EXPECT_FALSE(own->covers({150, 150}));
    EXPECT_TRUE(own->covers({350, 250}));
}

} // namespace
