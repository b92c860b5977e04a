// MainProcessInput over the X11 backend against a private Xvfb, with xev covering the screen as
// the client that records the events reaching it.
#include "input/main_process_input.hpp"
#include "platform/x11/x11_input.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <array>
#include <cmath>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <unicode/utf8.h>

namespace {

using namespace std::chrono_literals;
using zel::MainProcessInput::perform;
using Events = std::vector<std::string>;

// The character of a keysym (Latin-1, Unicode keysyms, Return and Tab); modifiers make none.
std::string utf8(std::uint32_t sym) {
    const bool unicode = sym >= 0x01000100 && sym <= 0x0110ffff;
    if (sym == 0 || (sym > 0xff && !unicode && sym != 0xff0d && sym != 0xff09)) {
        return sym == 0 ? "<none>" : "";
    }
    const char32_t point = sym == 0xff0d ? U'\n' : sym == 0xff09 ? U'\t' : sym & 0xffffff;
    std::array<char, 4> bytes{};
    std::size_t length = 0;
    U8_APPEND_UNSAFE(bytes.data(), length, point);
    return {bytes.data(), length};
}

// xev's log as "press 1 378,737", "motion 151,98 held", "keydown 65507", "keyup 118 ctrl": the
// keysym xev looked up, through the keymap it refreshes on MappingNotify.
Events parseXev(const std::string& log) {
    Events events;
    std::istringstream lines(log);
    std::string kind, at;
    for (std::string line; std::getline(lines, line);) {
        if (const auto name = line.find(" event,"); name != std::string::npos && line[0] != ' ') {
            kind = line.substr(0, name);
        } else if (const auto root = line.find("root:("); root != std::string::npos) {
            at = line.substr(root + 6, line.find(')', root) - root - 6);
        } else if (const auto state = line.find("state 0x"); state != std::string::npos) {
            const auto bits = std::stoul(line.substr(state + 6), nullptr, 16);
            const auto field = [&](const std::string& label) {
                return std::to_string(
                    std::stoul(line.substr(line.find(label) + label.size()), nullptr, 0));
            };
            if (kind == "ButtonPress" || kind == "ButtonRelease") {
                events.push_back((kind == "ButtonPress" ? "press " : "release ") +
                                 field("button ") + " " + at);
            } else if (kind == "MotionNotify") {
                events.push_back("motion " + at + ((bits & 0x100) != 0 ? " held" : ""));
            } else if (kind == "KeyPress" || kind == "KeyRelease") {
                events.push_back((kind == "KeyPress" ? "keydown " : "keyup ") + field("(keysym ") +
                                 ((bits & 0x4) != 0 ? " ctrl" : ""));
            }
            kind.clear();
        }
    }
    return events;
}

// The text that the key presses among the events make.
std::string typedText(const Events& events) {
    std::string text;
    for (const std::string& event : events) {
        text += event.starts_with("keydown ") ? utf8(std::stoul(event.substr(8))) : "";
    }
    return text;
}

class InputX11 : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(zel::test::waitUntil(
            [&] {
                return !xdotool({"search", "--name", "^zelrec$"}).empty();
            },
            10s))
            << zel::test::readFile(log);
        xdotool({"windowfocus", "--sync", xdotool({"search", "--name", "^zelrec$"})});
    }
    std::string xdotool(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "xdotool");
        const auto out = zel::test::runCommand(arguments, env).output;
        return out.substr(0, out.find('\n'));
    }
    // The events xev logged after those taken before, once `done` holds for them (or after 10 s).
    Events next(const std::function<bool(const Events&)>& done) {
        Events fresh;
        zel::test::waitUntil(
            [&] {
                const Events all = parseXev(zel::test::readFile(log));
                fresh.assign(all.begin() + static_cast<std::ptrdiff_t>(taken), all.end());
                return done(fresh);
            },
            10s);
        taken += fresh.size();
        return fresh;
    }
    Events nextButtonsAndKeys(std::size_t count) {
        const auto buttonOrKey = [](const std::string& e) { return !e.starts_with("motion"); };
        Events events = next([&](const Events& seen) {
            return static_cast<std::size_t>(std::ranges::count_if(seen, buttonOrKey)) >= count;
        });
        std::erase_if(events, [&](const std::string& e) { return !buttonOrKey(e); });
        return events;
    }
    std::string keymap() {
        return zel::test::runCommand({"xkbcomp", "-xkb", xvfb.display(), "-"}).output;
    }

    zel::test::Xvfb xvfb{1512, 982, {"-noreset"}}; // clients come and go before xev is up
    zel::test::ScopedEnv display{"DISPLAY", xvfb.display().c_str()};
    std::unique_ptr<zel::InputBackend> backend = zel::x11::makeInputBackend();
    zel::test::TempDir dir;
    std::string log = (dir.path() / "xev.log").string();
    std::vector<std::string> env = {"DISPLAY=" + xvfb.display()};
    zel::test::Child xev{{"sh", "-c",
                          "exec stdbuf -oL xev -name zelrec -geometry 1512x982+0+0 -event keyboard "
                          "-event button -event mouse >\"$0\" 2>&1",
                          log},
                         env};
    std::size_t taken = 0;
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
        EXPECT_EQ(nextButtonsAndKeys(events.size()), events) << body;
    }
}

TEST_F(InputX11, DragIsAPressMotionsWithTheButtonHeldAndTheReleaseAtTheEnd) {
    perform(*backend, R"({"action":"drag","from":[100,100],"to":[900,500]})");
    Events seen = next(
        [](const Events& events) { return std::ranges::count(events, "release 1 1361,491") > 0; });
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
    const auto before = keymap();
    const std::string texts[] = {
        "Hello, World! ~_~\n\tok", "你好，世界。", "Grüße, é € ½ ✓ 😀",
        "天地玄黄宇宙洪荒日月盈昃辰宿列张寒来暑往秋收冬藏闰余成岁律吕调阳"};
    for (const std::string& text : texts) {
        const auto answer =
            perform(*backend, nlohmann::json{{"action", "type_text"}, {"text", text}}.dump());
        EXPECT_EQ(answer.at("skipped"), 0) << text;
        const Events events = next([&](const Events& seen) { return typedText(seen) == text; });
        EXPECT_EQ(typedText(events), text);
        EXPECT_FALSE(std::ranges::any_of(events, [](const std::string& event) {
            return event.ends_with(" ctrl") || event == "keydown 65507";
        })) << text;
    }
    EXPECT_NE(keymap(), before); // lent keys stay lent while typing may go on
    EXPECT_TRUE(zel::test::waitUntil([&] { return keymap() == before; }, 4s));
}

} // namespace
