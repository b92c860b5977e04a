// The desktop's windows through EWMH on a private Xvfb with openbox: the list names real clients
// (a GTK editor and xterm, which sets only the old WM_NAME) with their frames in root pixels, a
// focus request moves _NET_ACTIVE_WINDOW (a minimized window comes back), and the app's own
// windows and unknown ids are refused.
#include "input/desktop_windows.hpp"
#include "platform/x11/x11_windows.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
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

    // Own windows are listed but never focused for a remote client; bad requests say what is
    // wrong.
    for (const auto& [body, text] : std::vector<std::pair<std::string, std::string>>{
             {R"({"id":")" + term.id + R"("})", "Zel Desktop Agent"},
             {R"({"id":"0x7fffffff"})", "No window 0x7fffffff"},
             {R"({"id":"root"})", "No window root"},
             {R"({"id":5})", "Expected a JSON body"},
             {"not json", "Expected a JSON body"}}) {
        EXPECT_NE(zel::test::errorText([&, &request = body] {
                      zel::focusWindow(*windows, request);
                  }).find(text),
                  std::string::npos)
            << body;
    }
    EXPECT_EQ(activeWindow(), pad.id);
}

} // namespace
