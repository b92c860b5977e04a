// The desktop's windows through EWMH on a private Xvfb with openbox: the list names real clients
// (a GTK editor and xterm, which sets only the old WM_NAME) with their frames in root pixels, a
// focus request moves _NET_ACTIVE_WINDOW (a minimized window comes back). The request's refusals
// are the list's, tested once over a scripted desktop (desktop_windows_test).
#include "input/desktop_windows.hpp"
#include "platform/x11/x11_own_windows.hpp"
#include "platform/x11/x11_windows.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using zel::DesktopWindow;
using zel::test::runCommand;

// The client's rectangle in root pixels as xwininfo tells it (X, Y, WIDTH, HEIGHT).
std::map<std::string, long> clientRect(const std::string& id) {
    std::map<std::string, long> values;
    std::istringstream lines(runCommand({"xwininfo", "-id", id}).output);
    for (std::string line; std::getline(lines, line);) {
        for (const auto& [label, key] : {std::pair{"Absolute upper-left X:", "X"},
                                         {"Absolute upper-left Y:", "Y"},
                                         {"Width:", "WIDTH"},
                                         {"Height:", "HEIGHT"}}) {
            if (const auto at = line.find(label); at != std::string::npos) {
                values[key] = std::strtol(line.c_str() + at + std::strlen(label), nullptr, 10);
            }
        }
    }
    return values;
}

std::string activeWindow() {
    const auto out = runCommand({"xprop", "-root", "_NET_ACTIVE_WINDOW"}).output;
    const auto hash = out.find("# ");
    return hash == std::string::npos
               ? ""
               : out.substr(hash + 2, out.find_first_of(",\n", hash) - hash - 2);
}

TEST(DesktopWindowsX11, ListsFocusesAndRefusesUnderAWindowManager) {
    const zel::test::Xvfb xvfb{1024, 768};
    const zel::test::ScopedEnv display{"DISPLAY", xvfb.display().c_str()};
    const zel::test::TempDir home;
    const std::vector<std::string> env{"HOME=" + home.path().string(), "NO_AT_BRIDGE=1"};
    const zel::test::Child wm({"openbox"}, env);
    const zel::test::Child editor({"mousepad"}, env);
    const zel::test::Child own({"xterm", "-title", "zel own", "-geometry", "80x24+50+60"}, env);
    const zel::test::Child spare({"xterm", "-title", "zel spare", "-geometry", "40x10+600+400"},
                                 env);
    // The "own" xterm plays the app's window.
    const auto windows = zel::x11::makeDesktopWindows(own.pid());
    const auto titled = [](const std::vector<DesktopWindow>& list, const std::string& text) {
        const auto it = std::find_if(list.begin(), list.end(), [&](const DesktopWindow& w) {
            return w.title.find(text) != std::string::npos;
        });
        return it == list.end() ? std::nullopt : std::optional(*it);
    };

    std::vector<DesktopWindow> listed;
    ASSERT_TRUE(zel::test::waitUntil(
        [&] {
            listed = windows->list();
            return titled(listed, "Mousepad") && titled(listed, "zel own") &&
                   titled(listed, "zel spare") && !activeWindow().empty();
        },
        20s));
    const auto pad = *titled(listed, "Mousepad");
    const auto term = *titled(listed, "zel own");
    const auto other = *titled(listed, "zel spare");
    EXPECT_EQ(pad.application, "Mousepad");
    EXPECT_EQ(term.application, "XTerm") << "WM_CLASS's class";
    EXPECT_EQ(term.title, "zel own") << "WM_NAME where there is no _NET_WM_NAME";
    EXPECT_EQ(pad.pid, editor.pid());
    EXPECT_EQ(term.pid, own.pid());
    EXPECT_TRUE(term.own);
    EXPECT_FALSE(pad.own);
    EXPECT_EQ(std::count_if(listed.begin(), listed.end(), [](auto& w) { return w.focused; }), 1);

    // The bounds are the client's rectangle in root pixels with openbox's frame around it.
    for (const auto& window : {term, pad, other}) {
        SCOPED_TRACE(window.title);
        ASSERT_TRUE(window.bounds);
        const auto client = clientRect(window.id);
        const auto& b = *window.bounds;
        EXPECT_GT(client.at("X"), b.x);
        EXPECT_GT(client.at("Y"), b.y + 10) << "the title bar is above the client";
        EXPECT_LE(client.at("X") + client.at("WIDTH"), b.x + b.width);
        EXPECT_LT(client.at("Y") + client.at("HEIGHT"), b.y + b.height);
        EXPECT_LT(b.width - client.at("WIDTH"), 20);
    }

    // Focus moves as asked, as the window manager reports it; the focused window is on top.
    for (const auto& target : {pad, other, pad}) {
        SCOPED_TRACE(target.title);
        const auto answer = zel::focusWindow(*windows, R"({"id":")" + target.id + R"("})");
        EXPECT_TRUE(answer.at("focused").get<bool>());
        EXPECT_EQ(activeWindow(), target.id);
        const auto now = windows->list();
        ASSERT_FALSE(now.empty());
        EXPECT_EQ(now.front().id, target.id);
        EXPECT_TRUE(now.front().focused);
    }
    // A minimized window is shown again.
    runCommand({"xdotool", "windowminimize", "--sync", pad.id});
    ASSERT_TRUE(
        zel::test::waitUntil([&] { return titled(windows->list(), "Mousepad")->minimized; }, 10s));
    EXPECT_TRUE(zel::focusWindow(*windows, R"({"id":")" + pad.id + R"("})").at("focused"));
    // Openbox may set the state a moment after the focus moved.
    EXPECT_TRUE(
        zel::test::waitUntil([&] { return !titled(windows->list(), "Mousepad")->minimized; }, 5s));
}

// The X server's view of a process's windows without a window manager: a point is the process's
// only where its window is on top, a window stacked over it takes the point; the server's input
// focus on it is the process's.
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
