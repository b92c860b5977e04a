// The accessibility requests as the routes hand them over: what is taken, and what is refused
// with which words.
#include "base/app_error.hpp"
#include "input/accessibility.hpp"

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
    struct Case {
        std::string body;
        AccessibilityActRequest expected;
        std::string error;
    };
    const std::string longText(kMaxAccessibilityText + 1, 'x');
    for (const Case& c : {
             Case{R"({"id":":1.5/a/1","action":"press"})",
                  {":1.5/a/1", AccessibilityAction::press, ""},
                  ""},
             Case{R"({"id":":1.5/a/1","action":"focus"})",
                  {":1.5/a/1", AccessibilityAction::focus, ""},
                  ""},
             Case{R"({"id":":1.5/a/1","action":"set_text","text":""})",
                  {":1.5/a/1", AccessibilityAction::setText, ""},
                  ""},
             Case{R"({"id":":1.5/a/1","action":"set_text","text":"héllo"})",
                  {":1.5/a/1", AccessibilityAction::setText, "héllo"},
                  ""},
             Case{"not json", {}, "must be a JSON object"},
             Case{"[1]", {}, "must be a JSON object"},
             Case{R"({"action":"press"})", {}, "\"id\" must be"},
             Case{R"({"id":"","action":"press"})", {}, "\"id\" must be"},
             Case{R"({"id":5,"action":"press"})", {}, "\"id\" must be"},
             Case{R"({"id":"a","action":"click"})", {}, "\"action\" must be"},
             Case{R"({"id":"a"})", {}, "\"action\" must be"},
             Case{R"({"id":"a","action":"set_text"})", {}, "set_text needs \"text\""},
             Case{R"({"id":"a","action":"set_text","text":3})", {}, "set_text needs \"text\""},
             Case{R"({"id":"a","action":"press","text":"x"})", {}, "set_text only"},
             Case{R"({"id":"a","action":"press","force":true})", {}, "Unknown field \"force\""},
             Case{
                 R"({"id":"a","action":"set_text","text":")" + longText + "\"}", {}, "longer than"},
         }) {
        SCOPED_TRACE(c.body.substr(0, 80));
        if (c.error.empty()) {
            EXPECT_EQ(parseAccessibilityAct(c.body), c.expected);
        } else {
            EXPECT_NE(refusal([&] { parseAccessibilityAct(c.body); }).find(c.error),
                      std::string::npos);
        }
    }
}

} // namespace
} // namespace zel
