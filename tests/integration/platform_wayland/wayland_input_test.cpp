// The Wayland input backend under a headless sway with two outputs, the main one right of the
// other: requests arrive at a full-screen recording client (wev) at the surface-local pixel of
// their normalized point, with the right buttons, wheel steps and keysyms; characters the layout
// lacks on spare keys bound by an uploaded keymap, a second batch when the first is used up.
#include "platform/wayland/sway_windows.hpp"
#include "platform/wayland/toplevel_windows.hpp"
#include "platform/wayland/wayland_capture.hpp"
#include "platform/wayland/wayland_input.hpp"
#include "tests/support/command.hpp"
#include "tests/support/input_arrivals.hpp"
#include "tests/support/sway.hpp"
#include "tests/support/xvfb.hpp"

#include <csignal>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <tuple>

namespace zel {
namespace {

TEST(WaylandInput, RequestsArriveAtTheRecordingClient) {
    const test::Sway sway("for_window [app_id=\"wev\"] fullscreen enable");
    ASSERT_EQ(sway.message({"create_output; output HEADLESS-2 mode 1280x720 position 0 0; "
                            "output HEADLESS-1 position 1280 0; focus output HEADLESS-1"})
                  .exitStatus,
              0);
    test::Recorder wev{
        sway.path("wev.log"), test::parseWev, {1280, 0, 1920, 1080}, 0, 0, 1920, 1080};
    const test::Child client({"sh", "-c", "exec stdbuf -oL wev >\"$0\" 2>&1", wev.log},
                             sway.clientEnv());
    ASSERT_TRUE(test::waitUntil(
        [&] { return test::readFile(wev.log).find("fullscreen") != std::string::npos; },
        std::chrono::seconds(10)));
    // Displays in the compositor's order, each where the layout puts it.
    const auto displays = wayland::makeCaptureBackend(sway.socket())->displays();
    ASSERT_EQ(displays.size(), 2U);
    EXPECT_EQ(std::tuple(displays[0].id, displays[0].x, displays[1].id, displays[1].width),
              std::tuple("HEADLESS-1", 1280, "HEADLESS-2", 1280));
    const auto input = wayland::makeInputBackend(sway.socket());
    ASSERT_TRUE(input->trusted());
    test::expectArrivals(*input, wev,
                         {"a!你好a你\n", "Grüße, é € ½ ✓ 😀", "€日本語天地玄黄宇宙洪荒"});
}

// sway's view of a process's windows, live: where its window lies and whether it has the focus.
TEST(SwayWindows, WhereAProcesssWindowsAreAndWhetherOneHasTheFocus) {
    const test::Sway sway("for_window [app_id=\"wev\"] fullscreen enable");
    const std::string log = sway.path("wev.log");
    const test::Child client({"sh", "-c", "exec stdbuf -oL wev >\"$0\" 2>&1", log},
                             sway.clientEnv());
    const std::string ipc = sway.clientEnv().back().substr(9); // SWAYSOCK=…
    const auto windows = wayland::makeSwayWindows(ipc, client.pid());
    ASSERT_TRUE(test::waitUntil(
        [&] {
            return windows->covers({960, 540});
        },
        std::chrono::seconds(10)));
    EXPECT_TRUE(windows->covers({0, 0}) && windows->covers({1919, 1079}));
    EXPECT_FALSE(windows->covers({1920, 540}));
    EXPECT_TRUE(windows->focused());
    const auto others = wayland::makeSwayWindows(ipc, client.pid() + 100000);
    EXPECT_FALSE(others->covers({960, 540}) || others->focused());
    EXPECT_EQ(wayland::makeSwayWindows("", client.pid()), nullptr);

    // The same window in the desktop's window list, focused by sway's command.
    const auto desktop = wayland::makeSwayDesktopWindows(ipc, client.pid());
    const auto listed = desktop->list();
    ASSERT_EQ(listed.size(), 1U);
    EXPECT_EQ(listed[0].application, "wev");
    EXPECT_TRUE(listed[0].own && listed[0].focused);
    EXPECT_EQ(listed[0].bounds, (DisplayBounds{0, 0, 1920, 1080}));
    EXPECT_TRUE(desktop->focus(listed[0]));
    DesktopWindow forged = listed[0];
    forged.id = "1] exit; [";
    EXPECT_NE(test::errorText([&] { desktop->focus(forged); }).find("No window"),
              std::string::npos);
}

// Views of a GET_TREE answer: as a process's windows (where its visible ones lie, tiled or
// floating, and whether one has the focus; hidden ones, on another workspace, are not counted), and
// as desktop windows (an XWayland window named by its class, a hidden one without bounds, the
// focused one first; containers are no windows).
TEST(SwayWindows, TheTreesViewsAreTheDesktopsWindows) {
    const auto tree = nlohmann::json::parse(R"({"id": 1, "nodes": [{"id": 4,
      "nodes": [{"id": 10, "pid": 7, "name": "Editor", "app_id": "org.example.editor",
                 "visible": true, "rect": {"x": 10, "y": 20, "width": 300, "height": 200}},
                {"id": 11, "pid": 8, "name": "xterm", "app_id": null,
                 "window_properties": {"class": "XTerm"}, "visible": false,
                 "rect": {"x": 0, "y": 0, "width": 50, "height": 50}}],
      "floating_nodes": [{"id": 12, "pid": 9, "name": "Zel Desktop Agent",
                          "app_id": "zel-desktop-agent", "focused": true, "visible": true,
                          "rect": {"x": 5, "y": 6, "width": 7, "height": 8}}]}]})");
    const auto tiled = wayland::windowsOf(tree, 7);
    const auto floating = wayland::windowsOf(tree, 9);
    EXPECT_EQ(std::tuple(tiled.areas, tiled.focused, floating.areas, floating.focused),
              std::tuple(std::vector<DisplayBounds>{{10, 20, 300, 200}}, false,
                         std::vector<DisplayBounds>{{5, 6, 7, 8}}, true));
    EXPECT_TRUE(wayland::windowsOf(tree, 8).areas.empty()) << "a hidden window";
    EXPECT_TRUE(wayland::windowsOf(nullptr, 9).areas.empty());
    const auto windows = wayland::desktopWindowsOf(tree, 9);
    ASSERT_EQ(windows.size(), 3U);
    const auto row = [](const DesktopWindow& w) {
        return std::tuple(w.id, w.title, w.application, w.pid, w.focused, w.own,
                          w.bounds.value_or(DisplayBounds{-1, -1, -1, -1}));
    };
    EXPECT_EQ(row(windows[0]), std::tuple("12", "Zel Desktop Agent", "zel-desktop-agent", 9, true,
                                          true, DisplayBounds{5, 6, 7, 8}));
    EXPECT_EQ(row(windows[1]), std::tuple("10", "Editor", "org.example.editor", 7, false, false,
                                          DisplayBounds{10, 20, 300, 200}));
    EXPECT_EQ(row(windows[2]),
              std::tuple("11", "xterm", "XTerm", 8, false, false, DisplayBounds{-1, -1, -1, -1}));
    EXPECT_TRUE(wayland::desktopWindowsOf(nullptr, 9).empty());
}

// The agent server's clipboard tools on a Wayland session with no X server: wl-copy and wl-paste
// found from WAYLAND_DISPLAY alone, a text copied and read back through a private headless sway.
TEST(WaylandClipboard, TheAgentServerCopiesAndReadsThroughWlClipboard) {
    const test::Sway sway("");
    std::vector<std::string> env = sway.clientEnv();
    env.emplace_back("DISPLAY="); // no X server to fall back on
    const std::string script =
        "const c = await import(process.argv[1]);"
        "const copier = c.findClipboardTool({}), reader = c.findClipboardTool({ read: true });"
        "await c.copyText(copier, process.argv[2]);"
        "console.log(JSON.stringify({ copier: copier.name, reader: reader.name,"
        " text: await c.readText(reader) }));";
    const std::string text = "剪贴板 on Wayland\nline two";
    const auto result =
        test::runCommand({"node", "--input-type=module", "-e", script,
                          std::string(ZEL_SOURCE_DIR) + "/resources/agent/src/clipboard.js", text},
                         env);
    ASSERT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_EQ(nlohmann::json::parse(result.output, nullptr, false),
              (nlohmann::json{{"copier", "wl-copy"}, {"reader", "wl-paste"}, {"text", text}}))
        << result.output;
}

// The window list through the foreign-toplevel protocol under a headless sway: two terminals with
// their titles and app ids, the active one first, ours known by its app id; activating the other
// moves sway's focus, and a stale id is refused.
using Row = std::tuple<std::string, std::string, bool, bool, bool, bool>;

Row row(const DesktopWindow& window) {
    return {window.title,     window.application, window.focused,
            window.minimized, window.own,         window.bounds.has_value()};
}

std::vector<Row> rows(const std::vector<DesktopWindow>& windows) {
    std::vector<Row> all;
    all.reserve(windows.size());
    for (const auto& window : windows) {
        all.push_back(row(window));
    }
    return all;
}

std::vector<std::string> terminal(const std::string& appId, const std::string& title) {
    return {"foot", "--app-id", appId, "--title", title, "sleep", "600"};
}

TEST(ForeignToplevelWindows, ListsAndActivatesTheCompositorsWindows) {
    const test::Sway sway;
    const auto windows = wayland::makeForeignToplevelWindows(sway.socket(), "zel-test-own");
    ASSERT_NE(windows, nullptr);
    EXPECT_TRUE(windows->list().empty());

    test::Child alpha(terminal("zel-test-alpha", "Alpha"), sway.clientEnv());
    ASSERT_TRUE(
        test::waitUntil([&] { return windows->list().size() == 1; }, std::chrono::seconds(10)));
    const test::Child own(terminal("zel-test-own", "Ours"), sway.clientEnv());
    // sway focuses a new window.
    ASSERT_TRUE(test::waitUntil(
        [&] {
            const auto now = windows->list();
            return now.size() == 2 && now[0].title == "Ours" && now[0].focused;
        },
        std::chrono::seconds(10)));
    const auto listed = windows->list();
    EXPECT_EQ(rows(listed),
              (std::vector<Row>{{"Ours", "zel-test-own", true, false, true, false},
                                {"Alpha", "zel-test-alpha", false, false, false, false}}));
    EXPECT_NE(listed[0].id, listed[1].id);

    const auto focusedInSway = [&] {
        const auto tree = nlohmann::json::parse(sway.message({"-t", "get_tree"}).output);
        const auto views = wayland::desktopWindowsOf(tree, 0);
        return views.empty() || !views[0].focused ? std::string() : views[0].application;
    };
    EXPECT_TRUE(windows->focus(listed[1]));
    EXPECT_EQ(focusedInSway(), "zel-test-alpha");
    const auto after = windows->list();
    ASSERT_EQ(after.size(), 2U);
    // Ids stay with their windows.
    EXPECT_EQ(std::tuple(after[0].id, after[0].focused, after[1].id, after[1].focused),
              std::tuple(listed[1].id, true, listed[0].id, false));

    // A stale id given to the list itself (the request's refusals: desktop_windows_test).
    DesktopWindow stale = listed[1];
    stale.id = "999";
    EXPECT_NE(test::errorText([&] { windows->focus(stale); }).find("No window 999"),
              std::string::npos);
    EXPECT_EQ(focusedInSway(), "zel-test-alpha");

    // A closed window leaves the list.
    alpha.signal(SIGTERM);
    ASSERT_TRUE(
        test::waitUntil([&] { return windows->list().size() == 1; }, std::chrono::seconds(10)));
    EXPECT_EQ(windows->list()[0].title, "Ours");
    EXPECT_NE(test::errorText([&] { windows->focus(listed[1]); }).find("No window"),
              std::string::npos);
}

} // namespace
} // namespace zel
