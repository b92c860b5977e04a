// MainProcessInput over the X11 backend against a private Xvfb, with a window of the test's own
// that records the events reaching it.
#include "input/main_process_input.hpp"
#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_input.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <array>
#include <cmath>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <unicode/utf8.h>
#include <xcb/xcb_keysyms.h>

namespace {

using namespace std::chrono_literals;
using zel::MainProcessInput::perform;
using zel::x11::Reply;
using Events = std::vector<std::string>;

// A window covering the screen with the keyboard focus, logging what reaches it. Like an
// application it reads its events as they come, translating keys through the keymap of that
// moment (refreshed on MappingNotify), and keeps the text the key presses make.
class RecordingWindow {
public:
    explicit RecordingWindow(const std::string& display)
        : connection_(zel::x11::Connection::open(display.c_str())),
          symbols_(xcb_key_symbols_alloc(connection_->get()), xcb_key_symbols_free) {
        xcb_connection_t* c = connection_->get();
        const xcb_screen_t& screen = connection_->screen();
        window_ = xcb_generate_id(c);
        const std::uint32_t mask = XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                   XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_KEY_PRESS |
                                   XCB_EVENT_MASK_KEY_RELEASE;
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, screen.root, 0, 0,
                          screen.width_in_pixels, screen.height_in_pixels, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen.root_visual, XCB_CW_EVENT_MASK,
                          &mask);
        xcb_map_window(c, window_);
        xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
        reader_ = std::jthread([this] { read(); });
        drain(true);
    }
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;
    ~RecordingWindow() {
        mark(0); // ends the reader
        reader_.join();
    }

    // What arrived so far: button and key events, motions when asked for.
    Events drain(bool motions = false) {
        const std::uint32_t marker = ++sent_;
        mark(marker);
        std::unique_lock lock(mutex_);
        arrived_.wait(lock, [&] { return seen_ == marker; });
        Events seen;
        std::copy_if(events_.begin(), events_.end(), std::back_inserter(seen),
                     [&](const std::string& e) { return motions || !e.starts_with("motion"); });
        events_.clear();
        return seen;
    }

    // The text the key presses made so far, emptied by reading it.
    std::string typed() {
        drain();
        const std::lock_guard lock(mutex_);
        return std::exchange(text_, {});
    }

    // The whole core keymap as the server has it now.
    std::vector<xcb_keysym_t> keymap() {
        xcb_connection_t* c = connection_->get();
        const xcb_setup_t* setup = xcb_get_setup(c);
        const Reply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
            c,
            xcb_get_keyboard_mapping(c, setup->min_keycode,
                                     setup->max_keycode - setup->min_keycode + 1),
            nullptr));
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
        return {syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply.get())};
    }

private:
    // A client message to our own window arrives after everything the server sent before it.
    void mark(std::uint32_t marker) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window_;
        event.data.data32[0] = marker;
        xcb_send_event(connection_->get(), 0, window_, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char*>(&event));
        xcb_flush(connection_->get());
    }

    void read() {
        while (xcb_generic_event_t* raw = xcb_wait_for_event(connection_->get())) {
            const Reply<xcb_generic_event_t> event(raw);
            const int type = event->response_type & 0x7f;
            const std::lock_guard lock(mutex_);
            if (type == XCB_CLIENT_MESSAGE) {
                seen_ = reinterpret_cast<const xcb_client_message_event_t*>(raw)->data.data32[0];
                arrived_.notify_all();
                if (seen_ == 0) {
                    return;
                }
                continue;
            }
            if (type == XCB_MAPPING_NOTIFY) {
                xcb_refresh_keyboard_mapping(symbols_.get(),
                                             reinterpret_cast<xcb_mapping_notify_event_t*>(raw));
                continue;
            }
            // Button, key and motion events share this layout.
            const auto* input = reinterpret_cast<const xcb_button_press_event_t*>(raw);
            const std::string at =
                " " + std::to_string(input->root_x) + "," + std::to_string(input->root_y);
            if (type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE) {
                events_.push_back((type == XCB_BUTTON_PRESS ? "press " : "release ") +
                                  std::to_string(input->detail) + at);
            } else if (type == XCB_MOTION_NOTIFY) {
                events_.push_back("motion" + at +
                                  ((input->state & XCB_BUTTON_MASK_1) != 0 ? " held" : ""));
            } else if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
                events_.push_back(
                    (type == XCB_KEY_PRESS ? "keydown " : "keyup ") +
                    std::to_string(xcb_key_symbols_get_keysym(symbols_.get(), input->detail, 0)) +
                    ((input->state & XCB_MOD_MASK_CONTROL) != 0 ? " ctrl" : ""));
                if (type == XCB_KEY_PRESS) {
                    const bool shifted = (input->state & XCB_MOD_MASK_SHIFT) != 0;
                    text_ += utf8(
                        xcb_key_symbols_get_keysym(symbols_.get(), input->detail, shifted ? 1 : 0));
                }
            }
        }
    }

    // The character of a keysym (Latin-1, Unicode keysyms, Return and Tab); modifiers make none.
    static std::string utf8(xcb_keysym_t sym) {
        const bool unicode = sym >= 0x01000100 && sym <= 0x0110ffff;
        if (sym == XCB_NO_SYMBOL || (sym > 0xff && !unicode && sym != 0xff0d && sym != 0xff09)) {
            return sym == XCB_NO_SYMBOL ? "<none>" : "";
        }
        const char32_t point = sym == 0xff0d ? U'\n' : sym == 0xff09 ? U'\t' : sym & 0xffffff;
        std::array<char, 4> bytes{};
        std::size_t length = 0;
        U8_APPEND_UNSAFE(bytes.data(), length, point);
        return {bytes.data(), length};
    }

    std::shared_ptr<zel::x11::Connection> connection_;
    std::unique_ptr<xcb_key_symbols_t, decltype(&xcb_key_symbols_free)> symbols_;
    xcb_window_t window_ = 0;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::uint32_t sent_ = 0; // the test's thread only
    std::uint32_t seen_ = 0; // guarded by mutex_
    Events events_;          // guarded by mutex_
    std::string text_;       // guarded by mutex_
    std::jthread reader_;
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
    // Combinations: Control_L, s 115; Alt_L 65513, F4 65473; and the keys of their own table.
    cases.push_back({R"({"action":"key_combo","keys":"Ctrl+S"})",
                     {"keydown 65507", "keydown 115 ctrl", "keyup 115 ctrl", "keyup 65507 ctrl"}});
    cases.push_back({R"({"action":"key_combo","keys":["alt","F4"]})",
                     {"keydown 65513", "keydown 65473", "keyup 65473", "keyup 65513"}});
    const std::pair<const char*, const char*> comboKeys[] = {
        {"delete", "65535"},  {"insert", "65379"},    {"home", "65360"}, {"end", "65367"},
        {"page_up", "65365"}, {"page_down", "65366"}, {"f1", "65470"},   {"f12", "65481"},
        {"menu", "65383"},    {"super", "65515"}};
    for (const auto& [name, keysym] : comboKeys) {
        cases.push_back({nlohmann::json{{"action", "key_combo"}, {"keys", name}}.dump(),
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

// Typed text arrives as the key presses of its characters (never Control, so never a paste):
// through the keymap with Shift where needed, else through spare keys lent for the moment, more
// characters than there are spare keys among them; the keymap is as before once typing is idle.
TEST_F(InputX11, TextArrivesAsKeystrokesAndTheKeymapIsGivenBack) {
    const auto before = window.keymap();
    const std::string texts[] = {
        "Hello, World! ~_~\n\tok", "你好，世界。", "Grüße, é € ½ ✓ 😀",
        "天地玄黄宇宙洪荒日月盈昃辰宿列张寒来暑往秋收冬藏闰余成岁律吕调阳"};
    for (const std::string& text : texts) {
        const auto answer =
            perform(*backend, nlohmann::json{{"action", "type_text"}, {"text", text}}.dump());
        EXPECT_EQ(answer.at("skipped"), 0) << text;
        EXPECT_EQ(window.typed(), text);
        EXPECT_EQ(std::ranges::count_if(window.drain(),
                                        [](const std::string& event) {
                                            return event.find("ctrl") != std::string::npos ||
                                                   event == "keydown 65507";
                                        }),
                  0)
            << text;
    }
    EXPECT_NE(window.keymap(), before); // lent keys stay lent while typing may go on
    for (int tries = 0; tries < 40 && window.keymap() != before; ++tries) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(window.keymap(), before);
}

} // namespace
