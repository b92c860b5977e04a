// The window list's JSON and the focus request's checks, over a scripted desktop.
#include "input/desktop_windows.hpp"

#include <gtest/gtest.h>

namespace zel {
namespace {

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
