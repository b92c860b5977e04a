// The Wayland input backend under a headless sway with two outputs, the main one right of the
// other: requests arrive at a full-screen recording client (wev) at the surface-local pixel of
// their normalized point, with the right buttons, wheel steps and keysyms.
#include "input/main_process_input.hpp"
#include "platform/wayland/wayland_input.hpp"
#include "tests/support/sway.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <gtest/gtest.h>
#include <thread>

namespace zel {
namespace {

TEST(WaylandInput, RequestsArriveAtTheRecordingClient) {
    const test::Sway sway("for_window [app_id=\"wev\"] fullscreen enable");
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"create_output"},
          {"output", "HEADLESS-2", "mode", "1280x720", "position", "0", "0"},
          {"output", "HEADLESS-1", "position", "1280", "0"},
          {"focus", "output", "HEADLESS-1"}}) {
        ASSERT_EQ(sway.message(command).exitStatus, 0);
    }
    const std::string log = sway.path("wev.log");
    const test::Child wev({"sh", "-c", "exec stdbuf -oL wev >\"$0\" 2>&1", log}, sway.clientEnv());
    ASSERT_TRUE(test::inOrder(test::recorded(log, 0, {"fullscreen"}), {"fullscreen"}));

    const auto input = wayland::makeInputBackend(sway.socket());
    ASSERT_TRUE(input->trusted());
    EXPECT_EQ(input->mainDisplayBounds(), (DisplayBounds{1280, 0, 1920, 1080}));

    const struct {
        const char* request;
        std::vector<std::string> arrives;
    } kCases[] = {
        // The first key after the keyboard appeared.
        {R"({"action":"key","key":"return"})",
         {"state: 1 (pressed)", "sym: Return", "state: 0 (released)", "sym: Return"}},
        {R"({"action":"left_click","coordinate":[250,750]})",
         {"x, y: 480.000000, 810.000000", "button: 272", "state: 1 (pressed)", "button: 272",
          "state: 0 (released)"}},
        {R"({"action":"right_click","coordinate":[500,500]})",
         {"x, y: 960.000000, 540.000000", "button: 273", "state: 1 (pressed)", "button: 273",
          "state: 0 (released)"}},
        {R"({"action":"drag","from":[100,100],"to":[200,200]})",
         {"x, y: 192.000000, 108.000000", "button: 272", "state: 1 (pressed)",
          "x, y: 384.000000, 216.000000", "button: 272", "state: 0 (released)"}},
        {R"({"action":"scroll","direction":"up","amount":2})", {"discrete: -1", "discrete: -1"}},
        {R"({"action":"scroll","direction":"down","amount":1})", {"discrete: 1"}},
        {R"({"action":"key","key":"tab"})", {"sym: Tab"}},
        {R"({"action":"key","key":"space"})", {"sym: space"}},
        {R"({"action":"key","key":"delete"})", {"sym: BackSpace"}},
        {R"({"action":"key","key":"esc"})", {"sym: Escape"}},
        {R"({"action":"key","key":"left"})", {"sym: Left"}},
        {R"({"action":"key","key":"up"})", {"sym: Up"}},
        {R"({"action":"key_combo","keys":"ctrl+s"})",
         {"sym: Control_L", "depressed: 00000004", "sym: s", "depressed: 00000000"}},
        {R"({"action":"key_combo","keys":"alt+f4"})",
         {"sym: Alt_L", "depressed: 00000008", "sym: F4", "depressed: 00000000"}},
        {R"({"action":"type_text","text":"a!"})",
         {"sym: a", "depressed: 00000001", "sym: exclam", "depressed: 00000000"}},
        // Beyond the layout: spare keys bound by an uploaded keymap, the layout's own keys still
        // where they were, a second batch when the first is used up.
        {R"({"action":"type_text","text":"你好a你\n"})",
         {"sym: U4F60", "sym: U597D", "sym: a", "sym: U4F60", "sym: Return"}},
        {R"({"action":"type_text","text":"€日本語"})",
         {"sym: EuroSign", "sym: U65E5", "sym: U672C", "sym: U8A9E"}},
        {R"({"action":"paste"})",
         {"sym: Control_L", "depressed: 00000004", "sym: v", "depressed: 00000000"}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.request);
        const std::size_t offset = test::readFile(log).size();
        ASSERT_NO_THROW(MainProcessInput::perform(*input, c.request));
        const std::string fresh = test::recorded(log, offset, c.arrives);
        EXPECT_TRUE(test::inOrder(fresh, c.arrives)) << fresh;
    }
}

} // namespace
} // namespace zel
