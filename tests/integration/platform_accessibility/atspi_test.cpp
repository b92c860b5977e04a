// The AT-SPI backend against a real GTK application: Xvfb, a private session bus with no
// accessibility bus running (the backend has to start one), openbox and mousepad. Read through the
// backend itself and through the control service's routes.
#include "app/desktop_environment.hpp"
#include "base/app_error.hpp"
#include "control_service/control_service.hpp"
#include "platform/accessibility/atspi_accessibility.hpp"
#include "tests/support/command.hpp"
#include "tests/support/control_client.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace zel {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

// Every node of the tree, depth first.
void eachNode(const Json& node, const std::function<void(const Json&)>& visit) {
    visit(node);
    if (node.contains("children")) {
        for (const auto& child : node["children"]) {
            eachNode(child, visit);
        }
    }
}

std::optional<Json> findNode(const Json& root, const std::function<bool(const Json&)>& match) {
    std::optional<Json> found;
    eachNode(root, [&](const Json& node) {
        if (!found && match(node)) {
            found = node;
        }
    });
    return found;
}

bool hasState(const Json& node, const std::string& state) {
    const auto& states = node["states"];
    return std::find(states.begin(), states.end(), state) != states.end();
}

auto roleAndName(const std::string& role, const std::string& name) {
    return [role, name](const Json& node) {
        return node["role"] == role && node.value("name", std::string()) == name;
    };
}

class AtspiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { desktop = new Desktop(); }
    static void TearDownTestSuite() {
        delete desktop;
        desktop = nullptr;
    }

    // The session every case shares: mousepad takes a few seconds to come up.
    struct Desktop {
        test::TempDir dir;
        test::Xvfb xvfb{1280, 800};
        std::string busAddress = "unix:path=" + (dir.path() / "bus").string();
        test::ScopedEnv display{"DISPLAY", xvfb.display().c_str()};
        test::ScopedEnv bus{"DBUS_SESSION_BUS_ADDRESS", busAddress.c_str()};
        test::ScopedEnv noBusAddress{"AT_SPI_BUS_ADDRESS", nullptr};
        std::vector<std::string> env{"DISPLAY=" + xvfb.display(),
                                     "DBUS_SESSION_BUS_ADDRESS=" + busAddress,
                                     "HOME=" + dir.path().string(),
                                     "XDG_CONFIG_HOME=" + (dir.path() / "config").string(),
                                     "XDG_RUNTIME_DIR=" + dir.path().string(),
                                     "GSETTINGS_BACKEND=memory",
                                     "NO_AT_BRIDGE=0"};
        test::Child dbus{
            {"dbus-daemon", "--session", "--address=" + busAddress, "--nofork", "--nopidfile"},
            env};
        std::shared_ptr<Accessibility> accessibility;
        std::unique_ptr<test::Child> windowManager;
        std::unique_ptr<test::Child> editor;
        std::string note = (dir.path() / "note.txt").string();

        Desktop() {
            EXPECT_TRUE(
                test::waitUntil([&] { return std::filesystem::exists(dir.path() / "bus"); }, 10s));
            // Started before the application, as a GTK application looks for the bus once.
            accessibility = accessibility::makeAtspiAccessibility(::getpid());
            const std::string early = test::errorText([&] { accessibility->tree({}); });
            EXPECT_NE(early.find("has the focus"), std::string::npos) << early;
            std::ofstream(note) << "first line\n";
            windowManager = std::make_unique<test::Child>(std::vector<std::string>{"openbox"}, env);
            editor = std::make_unique<test::Child>(std::vector<std::string>{"mousepad", note}, env);
            EXPECT_TRUE(test::waitUntil(
                [&] {
                    try {
                        return accessibility->tree({}).value("application", "") == "mousepad";
                    } catch (const std::exception&) {
                        return false;
                    }
                },
                30s));
        }
    };

    static Json focusedTree(int depth = kDefaultAccessibilityDepth,
                            int limit = kDefaultAccessibilityNodes) {
        AccessibilityTreeRequest request;
        request.depth = depth;
        request.limit = limit;
        return desktop->accessibility->tree(request);
    }

    static Desktop* desktop;
};

AtspiTest::Desktop* AtspiTest::desktop = nullptr;

TEST_F(AtspiTest, FocusedWindowHasTheFrameMenuBarAndNamedPlacedItems) {
    const Json tree = focusedTree();
    EXPECT_EQ(tree["pid"], desktop->editor->pid());
    const Json& frame = tree["window"];
    EXPECT_EQ(frame["role"], "frame");
    EXPECT_NE(frame.value("name", "").find("note.txt"), std::string::npos) << frame["name"];
    EXPECT_TRUE(hasState(frame, "active"));

    const auto menuBar = findNode(frame, [](const Json& n) { return n["role"] == "menu bar"; });
    ASSERT_TRUE(menuBar) << tree.dump(1);
    std::vector<std::string> menus;
    for (const auto& menu : (*menuBar)["children"]) {
        menus.push_back(menu.value("name", ""));
        ASSERT_TRUE(menu.contains("bounds")) << menu;
        const auto& b = menu["bounds"];
        EXPECT_GT(b[2].get<int>(), 0);
        EXPECT_GT(b[3].get<int>(), 0);
        EXPECT_GE(b[0].get<int>(), 0);
        EXPECT_LT(b[0].get<int>() + b[2].get<int>(), 1280 + 1);
        EXPECT_TRUE(menu.contains("actions")) << menu;
    }
    EXPECT_GE(menus.size(), 4U);
    EXPECT_EQ(menus.front(), "File");
    EXPECT_NE(std::find(menus.begin(), menus.end(), "Edit"), menus.end());
    // Items of the closed menus are in the tree too, with their names.
    EXPECT_TRUE(findNode(frame, roleAndName("menu item", "Save"))) << frame.dump(1);

    std::vector<std::string> ids;
    eachNode(frame, [&](const Json& node) { ids.push_back(node["id"]); });
    EXPECT_EQ(ids.size(), tree["nodes"].get<std::size_t>());
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "ids repeat";
    EXPECT_EQ(focusedTree()["window"]["id"], frame["id"]) << "ids are stable";
}

TEST_F(AtspiTest, RequestsChooseTheWindowAndBoundTheTree) {
    const std::string frameId = focusedTree(1)["window"]["id"];
    const struct {
        const char* name;
        AccessibilityTreeRequest request;
        std::size_t nodes; // 0: more than 10
        bool truncated;
    } cases[] = {{"application name", {.window = "MOUSEPAD", .pid = {}}, 0, false},
                 {"process", {.window = {}, .pid = desktop->editor->pid()}, 0, false},
                 {"depth 1", {.window = {}, .pid = {}, .depth = 1}, 1, true},
                 {"5 nodes", {.window = {}, .pid = {}, .limit = 5}, 5, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Json tree = desktop->accessibility->tree(c.request);
        EXPECT_EQ(tree["window"]["id"], frameId);
        EXPECT_EQ(tree["truncated"], c.truncated);
        if (c.nodes == 0) {
            EXPECT_GT(tree["nodes"].get<std::size_t>(), 10U);
        } else {
            EXPECT_EQ(tree["nodes"], c.nodes);
            EXPECT_TRUE(findNode(tree["window"],
                                 [](const Json& n) { return n.value("children_omitted", 0) > 0; }));
        }
    }
    EXPECT_NE(test::errorText([] {
                  desktop->accessibility->tree({.window = "no such window", .pid = {}});
              }).find("matches"),
              std::string::npos);
}

TEST_F(AtspiTest, SetTextChangesTheDocument) {
    const auto view = findNode(focusedTree()["window"], [](const Json& n) {
        return n["role"] == "text" && hasState(n, "editable");
    });
    ASSERT_TRUE(view);
    EXPECT_EQ(view->value("text", ""), "first line\n");
    const Json set = desktop->accessibility->act(
        {(*view)["id"], AccessibilityAction::setText, "written by id ✓"});
    EXPECT_EQ(set["element"].value("text", ""), "written by id ✓") << set.dump();
    const auto after =
        findNode(focusedTree()["window"], [&](const Json& n) { return n["id"] == (*view)["id"]; });
    ASSERT_TRUE(after);
    EXPECT_EQ(after->value("text", ""), "written by id ✓");
    const Json focus = desktop->accessibility->act({(*view)["id"], AccessibilityAction::focus, ""});
    EXPECT_EQ(focus["element"]["id"], (*view)["id"]);
    EXPECT_TRUE(test::waitUntil(
        [&] {
            const auto focused = findNode(focusedTree()["window"],
                                          [&](const Json& n) { return n["id"] == (*view)["id"]; });
            return focused && hasState(*focused, "focused");
        },
        5s));
}

TEST_F(AtspiTest, PressingAMenuOpensIt) {
    const auto file = findNode(focusedTree()["window"], roleAndName("menu", "File"));
    ASSERT_TRUE(file);
    const auto save = findNode(*file, roleAndName("menu item", "Save"));
    ASSERT_TRUE(save);
    EXPECT_FALSE(hasState(*save, "showing"));
    const Json done = desktop->accessibility->act({(*file)["id"], AccessibilityAction::press, ""});
    EXPECT_EQ(done["action"], "press");
    const auto saveNow = [&] {
        const auto tree = focusedTree();
        return findNode(tree["window"], [&](const Json& n) { return n["id"] == (*save)["id"]; });
    };
    EXPECT_TRUE(test::waitUntil(
        [&] {
            const auto now = saveNow();
            return now && hasState(*now, "showing") && now->contains("bounds");
        },
        5s));
    // Escape closes it (a menu takes the keyboard), and the tree follows.
    test::runCommand({"xdotool", "key", "Escape"});
    EXPECT_TRUE(test::waitUntil(
        [&] {
            const auto now = saveNow();
            return now && !hasState(*now, "showing");
        },
        5s));
}

TEST_F(AtspiTest, ActionsTheElementCannotTakeAreRefused) {
    const Json frame = focusedTree()["window"];
    const auto menuBar = findNode(frame, [](const Json& n) { return n["role"] == "menu bar"; });
    ASSERT_TRUE(menuBar);
    // The editor's own process: its elements are refused, as ours are to remote clients.
    const auto asEditor = accessibility::makeAtspiAccessibility(desktop->editor->pid());
    asEditor->tree({});
    Accessibility* const we = desktop->accessibility.get();
    const std::string bar = (*menuBar)["id"];
    using enum AccessibilityAction;
    const std::tuple<Accessibility*, AccessibilityActRequest, std::string> cases[] = {
        {we, {":1.999/org/a11y/atk/accessible/1", press, ""}, "fetch it again"},
        {we, {bar, setText, "x"}, "no editable text"},
        {we, {bar, press, ""}, "no action"},
        {asEditor.get(), {frame["id"], focus, ""}, std::string(kOwnElementMessage)},
    };
    for (const auto& [by, request, expected] : cases) {
        const std::string error = test::errorText([by = by, &r = request] { by->act(r); });
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    }
}

// The routes as the agent server calls them, with the main display added to the tree.
TEST_F(AtspiTest, RoutesServeTheTreeAndActions) {
    DesktopEnvironment environment;
    environment.accessibility = desktop->accessibility;
    const ControlService service(
        {.port = 0, .secret = "s3cret", .handlers = controlHandlers(environment)});

    const auto get = [&](const std::string& target, const std::string& body = {}) {
        const std::string method = body.empty() ? "GET " : "POST ";
        return test::parseReply(test::roundTrip(
            service.port(), method + target + " HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body));
    };
    const auto tree = get("/accessibility?secret=s3cret&window=focused&depth=2&limit=50");
    ASSERT_EQ(tree.status, "200 OK") << tree.body;
    const Json json = Json::parse(tree.body);
    EXPECT_EQ(json["application"], "mousepad");
    EXPECT_LE(json["nodes"].get<int>(), 50);

    const auto view = findNode(focusedTree()["window"], [](const Json& n) {
        return n["role"] == "text" && hasState(n, "editable");
    });
    ASSERT_TRUE(view);
    // Bad bodies and queries: the accessibility request unit test.
    const auto set =
        get("/accessibility/act?secret=s3cret",
            Json{{"id", (*view)["id"]}, {"action", "set_text"}, {"text", "by route"}}.dump());
    EXPECT_EQ(set.status, "200 OK") << set.body;
    const auto after =
        findNode(focusedTree()["window"], [&](const Json& n) { return n["id"] == (*view)["id"]; });
    ASSERT_TRUE(after);
    EXPECT_EQ(after->value("text", ""), "by route");
}

} // namespace
} // namespace zel
