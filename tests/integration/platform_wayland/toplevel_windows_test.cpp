// The window list through the foreign-toplevel protocol under a headless sway: two terminals with
// their titles and app ids, the active one first, ours known by its app id; activating the other
// moves sway's focus, and a stale id is refused.
#include "platform/wayland/sway_windows.hpp"
#include "platform/wayland/toplevel_windows.hpp"
#include "tests/support/command.hpp"
#include "tests/support/sway.hpp"
#include "tests/support/xvfb.hpp"

#include <csignal>
#include <gtest/gtest.h>
#include <tuple>

namespace zel {
namespace {

using Row = std::tuple<std::string, std::string, bool, bool, bool, bool>;

Row row(const DesktopWindow& window) {
    return {window.title,     window.application, window.focused,
            window.minimized, window.own,         window.bounds.has_value()};
}

std::vector<Row> rows(const std::vector<DesktopWindow>& windows) {
    std::vector<Row> all;
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
