// The accessibility requests as the routes hand them over: what is taken, and what is refused
// with which words.
#include "base/app_error.hpp"
#include "input/accessibility.hpp"
#include "input/desktop_windows.hpp"

#include <gtest/gtest.h>
#include <string>

namespace zel {
namespace {

std::string refusal(const auto& parse) {
    try {
        parse();
    } catch (const AppError& error) {
        return error.message;
    }
    return {};
}

TEST(AccessibilityRequest, TreeQueries) {
    struct Case {
        nlohmann::json query;
        std::optional<AccessibilityTreeRequest> expected; // none: refused with the error
        std::string error;
    };
    const auto request = [](std::string window, std::optional<std::int64_t> pid, int depth,
                            int limit) {
        return AccessibilityTreeRequest{std::move(window), pid, depth, limit};
    };
    const int depth = kDefaultAccessibilityDepth;
    const int limit = kDefaultAccessibilityNodes;
    for (const Case& c : {
             Case{nlohmann::json::object(), request("", std::nullopt, depth, limit), ""},
             Case{{{"window", "focused"}}, request("", std::nullopt, depth, limit), ""},
             Case{{{"window", "Mousepad"}, {"pid", "42"}, {"depth", "3"}, {"limit", "5000"}},
                  request("Mousepad", 42, 3, 5000),
                  ""},
             Case{{{"depth", ""}, {"limit", ""}}, request("", std::nullopt, depth, limit), ""},
             Case{{{"depth", "0"}}, std::nullopt, "\"depth\" must be a whole number from 1 to 64."},
             Case{{{"depth", "65"}}, std::nullopt, "\"depth\" must be"},
             Case{{{"limit", "5001"}},
                  std::nullopt,
                  "\"limit\" must be a whole number from 1 to 5000."},
             Case{{{"limit", "12abc"}}, std::nullopt, "\"limit\" must be"},
             Case{{{"pid", "-1"}}, std::nullopt, "\"pid\" must be"},
         }) {
        SCOPED_TRACE(c.query.dump());
        if (c.expected) {
            EXPECT_EQ(parseAccessibilityTreeQuery(c.query), *c.expected);
        } else {
            EXPECT_NE(refusal([&] { parseAccessibilityTreeQuery(c.query); }).find(c.error),
                      std::string::npos);
        }
    }
}

TEST(AccessibilityRequest, ActBodies) {
    using enum AccessibilityAction;
    const std::pair<std::string, AccessibilityActRequest> taken[] = {
        {R"({"id":":1.5/a/1","action":"press"})", {":1.5/a/1", press, ""}},
        {R"({"id":":1.5/a/1","action":"focus"})", {":1.5/a/1", focus, ""}},
        {R"({"id":":1.5/a/1","action":"set_text","text":""})", {":1.5/a/1", setText, ""}},
        {R"({"id":":1.5/a/1","action":"set_text","text":"héllo"})", {":1.5/a/1", setText, "héllo"}},
    };
    for (const auto& [body, expected] : taken) {
        EXPECT_EQ(parseAccessibilityAct(body), expected) << body;
    }
    const std::string longText(kMaxAccessibilityText + 1, 'x');
    const std::pair<std::string, std::string> refused[] = {
        {"not json", "must be a JSON object"},
        {"[1]", "must be a JSON object"},
        {R"({"action":"press"})", "\"id\" must be"},
        {R"({"id":"","action":"press"})", "\"id\" must be"},
        {R"({"id":5,"action":"press"})", "\"id\" must be"},
        {R"({"id":"a","action":"click"})", "\"action\" must be"},
        {R"({"id":"a"})", "\"action\" must be"},
        {R"({"id":"a","action":"set_text"})", "set_text needs \"text\""},
        {R"({"id":"a","action":"set_text","text":3})", "set_text needs \"text\""},
        {R"({"id":"a","action":"press","text":"x"})", "set_text only"},
        {R"({"id":"a","action":"press","force":true})", "Unknown field \"force\""},
        {R"({"id":"a","action":"set_text","text":")" + longText + "\"}", "longer than"},
    };
    for (const auto& row : refused) {
        EXPECT_NE(refusal([&] { parseAccessibilityAct(row.first); }).find(row.second),
                  std::string::npos)
            << row.first.substr(0, 80);
    }
}

// The window list's JSON and the focus request's checks, over a scripted desktop.
class ScriptedWindows final : public DesktopWindows {
public:
    std::vector<DesktopWindow> windows;
    std::vector<std::string> focused;
    std::vector<DesktopWindow> list() override { return windows; }
    bool focus(const DesktopWindow& window) override {
        focused.push_back(window.id);
        return true;
    }
};

TEST(DesktopWindows, TheListIsValidJSONWhateverTheWindowsCallThemselves) {
    DesktopWindow latin;
    latin.id = "0x1";
    latin.title = "Gr\xFC\xDF"
                  "e"; // ISO 8859-1, not UTF-8
    latin.application = "XTerm";
    latin.pid = 42;
    latin.bounds = DisplayBounds{-5, 10, 300, 200};
    DesktopWindow unknown;
    unknown.id = "0x2";
    unknown.title = "日本語";
    const auto json = windowListJSON({latin, unknown}, DisplayBounds{0, 0, 1920, 1080});
    EXPECT_EQ(
        json.dump(),
        R"({"display":{"height":1080.0,"width":1920.0,"x":0.0,"y":0.0},"windows":[)"
        R"({"application":"XTerm","bounds":{"height":200.0,"width":300.0,"x":-5.0,"y":10.0},)"
        R"("focused":false,"id":"0x1","minimized":false,"own":false,"pid":42,"title":"Grüße"},)"
        R"({"application":"","bounds":null,"focused":false,"id":"0x2","minimized":false,)"
        R"("own":false,"pid":null,"title":"日本語"}]})");
    EXPECT_EQ(windowListJSON({}, std::nullopt).dump(), R"({"display":null,"windows":[]})");
}

TEST(DesktopWindows, FocusTakesOnlyListedWindowsThatAreNotOurOwn) {
    ScriptedWindows desktop;
    desktop.windows.resize(2);
    desktop.windows[0].id = "0x10";
    desktop.windows[1].id = "0x20";
    desktop.windows[1].own = true;
    EXPECT_EQ(focusWindow(desktop, R"({"id":"0x10"})").dump(),
              R"({"focused":true,"id":"0x10","ok":true})");
    for (const auto& [body, message] : std::vector<std::pair<std::string, std::string>>{
             {R"({"id":"0x20"})", std::string(kOwnWindowFocusMessage)},
             {R"({"id":"0x30"})", "No window 0x30 on the desktop"},
             {R"({"id":""})", "Expected a JSON body"},
             {R"({"window":"0x10"})", "Expected a JSON body"},
             {R"(["0x10"])", "Expected a JSON body"},
             {"{", "Expected a JSON body"}}) {
        try {
            focusWindow(desktop, body);
            ADD_FAILURE() << body << " was accepted";
        } catch (const std::exception& error) {
            EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << body;
        }
    }
    EXPECT_EQ(desktop.focused, std::vector<std::string>{"0x10"});
}

} // namespace
} // namespace zel
