// MainProcessInput over the X11 backend against a private Xvfb, with a window of the test's own
// that records the events reaching it.
#include "input/main_process_input.hpp"
#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_input.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <cmath>
#include <gtest/gtest.h>
#include <xcb/xcb_keysyms.h>

namespace {

using zel::MainProcessInput::perform;
using zel::x11::Reply;
using Events = std::vector<std::string>;

// A window covering the screen with the keyboard focus, logging what reaches it.
class RecordingWindow {
public:
    explicit RecordingWindow(const std::string& display)
        : connection_(zel::x11::Connection::open(display.c_str())),
          symbols_(xcb_key_symbols_alloc(connection_->get()), xcb_key_symbols_free) {
        xcb_connection_t* c = connection_->get();
        const xcb_screen_t& screen = connection_->screen();
        const xcb_window_t window = xcb_generate_id(c);
        const std::uint32_t mask = XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                   XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_KEY_PRESS |
                                   XCB_EVENT_MASK_KEY_RELEASE;
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen.root, 0, 0,
                          screen.width_in_pixels, screen.height_in_pixels, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen.root_visual, XCB_CW_EVENT_MASK,
                          &mask);
        xcb_map_window(c, window);
        sync();
        xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
        drain(true);
    }

    // What arrived so far, after a round trip so that everything the server sent is queued.
    // Button and key events only, unless motions are asked for.
    Events drain(bool motions = false) {
        sync();
        Events seen;
        while (xcb_generic_event_t* raw = xcb_poll_for_event(connection_->get())) {
            const Reply<xcb_generic_event_t> event(raw);
            // Button, key and motion events share this layout.
            const auto* input = reinterpret_cast<const xcb_button_press_event_t*>(raw);
            const int type = event->response_type & 0x7f;
            const std::string at =
                " " + std::to_string(input->root_x) + "," + std::to_string(input->root_y);
            if (type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE) {
                seen.push_back((type == XCB_BUTTON_PRESS ? "press " : "release ") +
                               std::to_string(input->detail) + at);
            } else if (type == XCB_MOTION_NOTIFY && motions) {
                seen.push_back("motion" + at +
                               ((input->state & XCB_BUTTON_MASK_1) != 0 ? " held" : ""));
            } else if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
                seen.push_back(
                    (type == XCB_KEY_PRESS ? "keydown " : "keyup ") +
                    std::to_string(xcb_key_symbols_get_keysym(symbols_.get(), input->detail, 0)) +
                    ((input->state & XCB_MOD_MASK_CONTROL) != 0 ? " ctrl" : ""));
            }
        }
        return seen;
    }

private:
    void sync() {
        xcb_connection_t* c = connection_->get();
        const Reply<xcb_get_input_focus_reply_t> reply(
            xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }

    std::shared_ptr<zel::x11::Connection> connection_;
    std::unique_ptr<xcb_key_symbols_t, decltype(&xcb_key_symbols_free)> symbols_;
};

class InputX11 : public ::testing::Test {
protected:
    zel::test::Xvfb xvfb{1512, 982};
    zel::test::ScopedEnv display{"DISPLAY", xvfb.display().c_str()};
    std::unique_ptr<zel::InputBackend> backend = zel::x11::makeInputBackend();
    RecordingWindow window{xvfb.display()};
};

TEST_F(InputX11, EachActionArrivesAsItsButtonsAndKeysOnTheScreenItReports) {
    // Run in order: scrolls happen wherever the previous case left the pointer.
    std::vector<std::pair<std::string, Events>> cases = {
        // 378, 736.5: the half pixel rounds away from zero.
        {R"({"action":"click","coordinate":[250,750]})", {"press 1 378,737", "release 1 378,737"}},
        {R"({"action":"right_click","point":[100,200]})", {"press 3 151,196", "release 3 151,196"}},
        {R"({"action":"scroll","direction":"up","amount":2})",
         {"press 4 151,196", "release 4 151,196", "press 4 151,196", "release 4 151,196"}},
        {R"({"action":"scroll","delta":1})", {"press 5 151,196", "release 5 151,196"}},
        // Keys by keysym: Control_L 65507, v 118.
        {R"({"action":"paste"})",
         {"keydown 65507", "keydown 118 ctrl", "keyup 118 ctrl", "keyup 65507 ctrl"}}};
    const std::pair<const char*, const char*> keys[] = {
        {"Return", "65293"}, {"delete", "65288"}, {"esc", "65307"},
        {"tab", "65289"},    {"space", "32"},     {"left", "65361"},
        {"right", "65363"},  {"up", "65362"},     {"down", "65364"}};
    for (const auto& [name, keysym] : keys) {
        cases.push_back({nlohmann::json{{"action", "key"}, {"key", name}}.dump(),
                         {std::string("keydown ") + keysym, std::string("keyup ") + keysym}});
    }
    for (const auto& [body, events] : cases) {
        EXPECT_EQ(perform(*backend, body).at("display"),
                  nlohmann::json::parse(R"({"height":982,"width":1512,"x":0,"y":0})"));
        EXPECT_EQ(window.drain(), events) << body;
    }
}

TEST_F(InputX11, DragIsAPressMotionsWithTheButtonHeldAndTheReleaseAtTheEnd) {
    perform(*backend, R"({"action":"drag","from":[100,100],"to":[900,500]})");
    Events seen = window.drain(true);
    // Before the press the pointer moves to the start; the release's own motion to the end
    // point repeats the last step.
    seen.erase(seen.begin(), std::find(seen.begin(), seen.end(), "press 1 151,98"));
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    Events expected = {"press 1 151,98"};
    for (int step = 1; step <= 16; ++step) {
        expected.push_back("motion " + std::to_string(std::lround(151.2 + 1209.6 * step / 16)) +
                           "," + std::to_string(std::lround(98.2 + 392.8 * step / 16)) + " held");
    }
    expected.emplace_back("release 1 1361,491");
    EXPECT_EQ(seen, expected);
}

} // namespace
