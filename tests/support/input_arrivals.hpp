// One table of input requests for every platform, checked at a recording client (xev on X11, wev
// on Wayland) whose log is read into one vocabulary: "press 1 480,810", "release 3 …", "wheel -1",
// "keydown 65293", "keyup 115 ctrl" (keysyms; "ctrl" while Control is held). Motions are left out.
#pragma once

#include "input/input_actions.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"

#include <array>
#include <cmath>
#include <gtest/gtest.h>
#include <sstream>
#include <xkbcommon/xkbcommon.h>

namespace zel::test {

using Events = std::vector<std::string>;

// xev: "ButtonPress event, …" / "    root 0x…, (…), root:(378,737)," / "    state 0x4, keycode 39
// (keysym 0x73, s), …"; the keysym is the one xev looked up through the keymap it refreshes.
inline Events parseXev(const std::string& log) {
    Events events;
    std::istringstream lines(log);
    std::string kind, at;
    for (std::string line; std::getline(lines, line);) {
        if (const auto name = line.find(" event,"); name != std::string::npos && line[0] != ' ') {
            kind = line.substr(0, name);
        } else if (const auto root = line.find("root:("); root != std::string::npos) {
            at = line.substr(root + 6, line.find(')', root) - root - 6);
        } else if (const auto state = line.find("state 0x"); state != std::string::npos) {
            const bool ctrl = (std::stoul(line.substr(state + 6), nullptr, 16) & 0x4) != 0;
            const auto field = [&](const std::string& label) {
                return std::stoul(line.substr(line.find(label) + label.size()), nullptr, 0);
            };
            const bool down = kind == "ButtonPress" || kind == "KeyPress";
            if (kind.starts_with("Button") && field("button ") >= 4) {
                if (down) {
                    static constexpr const char* kWheels[] = {"wheel -1", "wheel 1", "hwheel -1",
                                                              "hwheel 1"};
                    events.emplace_back(kWheels[std::min<unsigned long>(field("button "), 7) - 4]);
                }
            } else if (kind.starts_with("Button")) {
                events.push_back((down ? "press " : "release ") + std::to_string(field("button ")) +
                                 " " + at);
            } else if (kind.starts_with("Key")) {
                events.push_back((down ? "keydown " : "keyup ") +
                                 std::to_string(field("(keysym ")) + (ctrl ? " ctrl" : ""));
            }
            kind.clear();
        }
    }
    return events;
}

// wev: "[12: wl_pointer] motion: time: …; x, y: 480.000000, 810.000000", "[…] button: …; button:
// 272 (left), state: 1 (pressed)", "… discrete: -1", "[…] key: …; state: 1 (pressed)" then
// "sym: EuroSign (8364), utf8: '€'", "[…] modifiers: …" then "depressed: 00000004". wev may
// hold two pointers of one seat: the first one's lines count.
inline Events parseWev(const std::string& log) {
    Events events;
    std::istringstream lines(log);
    std::string at, key, pointer;
    bool ctrl = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("wl_pointer]") != std::string::npos) {
            const std::string id = line.substr(0, line.find(':'));
            if (pointer.empty()) {
                pointer = id;
            } else if (id != pointer) {
                continue;
            }
        }
        const auto after = [&](const std::string& label) {
            const auto found = line.find(label);
            return found == std::string::npos ? std::string() : line.substr(found + label.size());
        };
        if (const auto xy = after("x, y: "); !xy.empty()) {
            at = std::to_string(std::lround(std::stod(xy))) + "," +
                 std::to_string(std::lround(std::stod(xy.substr(xy.find(", ") + 2))));
        } else if (const auto button = after("; button: "); !button.empty()) {
            const int code = std::stoi(button);
            events.push_back((after("state: ").starts_with("1") ? "press " : "release ") +
                             std::to_string(code == 272   ? 1
                                            : code == 273 ? 3
                                                          : 2) +
                             " " + at);
        } else if (const auto discrete = after("discrete: "); !discrete.empty()) {
            events.push_back("wheel " + std::to_string(std::stoi(discrete)));
        } else if (line.find("] key: ") != std::string::npos) {
            key = after("state: ").starts_with("1") ? "keydown " : "keyup ";
        } else if (const auto sym = after("sym: "); !sym.empty() && !key.empty()) {
            events.push_back(key + std::to_string(std::stoul(sym.substr(sym.find('(') + 1))) +
                             (ctrl ? " ctrl" : ""));
            key.clear();
        } else if (const auto mask = after("depressed: "); !mask.empty()) {
            ctrl = (std::stoul(mask, nullptr, 16) & 0x4) != 0;
        }
    }
    return events;
}

// The text that the key presses make, Return as a new line.
inline std::string typedText(const Events& events) {
    std::string text;
    for (const std::string& event : events) {
        std::array<char, 8> utf8{};
        if (event.starts_with("keydown ") &&
            xkb_keysym_to_utf8(std::stoul(event.substr(8)), utf8.data(), utf8.size()) > 1) {
            text += utf8[0] == '\r' ? "\n" : utf8.data();
        }
    }
    return text;
}

// A platform's recording client: its log, how to read it, and where its surface lies in pixels of
// the main display (whose bounds every answer reports).
struct Recorder {
    std::string log;
    Events (*parse)(const std::string&);
    DisplayBounds display;
    int x = 0, y = 0, width = 0, height = 0;
    bool super = true;              // false where the compositor keeps the Super key to itself
    bool checksMoreButtons = false; // the middle button, the horizontal wheel, held modifiers
    std::size_t taken = 0;

    // The events logged after those taken before, once `done` holds for them (or after 10 s).
    Events next(const std::function<bool(const Events&)>& done) {
        Events fresh;
        waitUntil(
            [&] {
                const Events all = parse(readFile(log));
                fresh.assign(all.begin() + static_cast<std::ptrdiff_t>(taken), all.end());
                return done(fresh);
            },
            std::chrono::seconds(10));
        taken += fresh.size();
        return fresh;
    }
    // A point at a fraction of the surface on the 25-per-mille grid: its request text, and where
    // it lands (a half pixel rounds away from zero).
    std::pair<std::string, std::string> point(double fx, double fy) const {
        const auto grid = [](int pixel, int size) {
            return (pixel * 1000 + size * 25 - 1) / (size * 25) * 25;
        };
        const int w = static_cast<int>(display.width), h = static_cast<int>(display.height);
        const int nx = grid(x + static_cast<int>(fx * width), w);
        const int ny = grid(y + static_cast<int>(fy * height), h);
        return {"[" + std::to_string(nx) + "," + std::to_string(ny) + "]",
                std::to_string(std::lround(nx * w / 1000.0) - x) + "," +
                    std::to_string(std::lround(ny * h / 1000.0) - y)};
    }
};

// Each request arrives as exactly its buttons, wheel steps and keys, in order; typed text as the
// key presses of its characters, never with Control held (that would be a paste).
inline void expectArrivals(InputBackend& input, Recorder& recorder,
                           const std::vector<std::string>& texts) {
    const auto [a, atA] = recorder.point(0.25, 0.75);
    const auto [b, atB] = recorder.point(0.5, 0.5);
    const auto [c, atC] = recorder.point(0.1, 0.1);
    std::vector<std::pair<std::string, Events>> rows = {
        {R"({"action":"click","coordinate":)" + a + "}", {"press 1 " + atA, "release 1 " + atA}},
        {R"({"action":"right_click","point":)" + b + "}", {"press 3 " + atB, "release 3 " + atB}},
        {R"({"action":"drag","from":)" + c + R"(,"to":)" + b + "}",
         {"press 1 " + atC, "release 1 " + atB}},
        {R"({"action":"scroll","direction":"up","amount":2})", {"wheel -1", "wheel -1"}},
        {R"({"action":"scroll","delta":1})", {"wheel 1"}},
        {R"({"action":"key_combo","keys":"Ctrl+S"})",
         {"keydown 65507", "keydown 115 ctrl", "keyup 115 ctrl", "keyup 65507 ctrl"}},
        // Not Alt+F4: a window manager closes the recording client.
        {R"({"action":"key_combo","keys":["alt","Home"]})",
         {"keydown 65513", "keydown 65360", "keyup 65360", "keyup 65513"}},
        // Named keys by keysym, one meaning in both actions; the function keys count from F1.
        {R"({"action":"key","key":"Return"})", {"keydown 65293", "keyup 65293"}},
        {R"({"action":"key","key":"delete"})", {"keydown 65535", "keyup 65535"}},
        {R"({"action":"key","key":"BackSpace"})", {"keydown 65288", "keyup 65288"}},
        {R"({"action":"key_combo","keys":"delete"})", {"keydown 65535", "keyup 65535"}},
        {R"({"action":"key_combo","keys":"f12"})", {"keydown 65481", "keyup 65481"}}};
    if (recorder.checksMoreButtons) {
        rows.push_back({R"({"action":"middle_click","point":)" + b + "}",
                        {"press 2 " + atB, "release 2 " + atB}});
        rows.push_back(
            {R"({"action":"scroll","direction":"left","amount":2})", {"hwheel -1", "hwheel -1"}});
        rows.push_back({R"({"action":"scroll","direction":"Right","amount":1})", {"hwheel 1"}});
        rows.push_back(
            {R"({"action":"click","coordinate":)" + a + R"(,"modifiers":["ctrl"]})",
             {"keydown 65507", "press 1 " + atA, "release 1 " + atA, "keyup 65507 ctrl"}});
    }
    if (recorder.super) {
        rows.push_back(
            {R"({"action":"key_combo","keys":"super"})", {"keydown 65515", "keyup 65515"}});
    }
    const auto& d = recorder.display;
    const nlohmann::json display = {
        {"x", d.x}, {"y", d.y}, {"width", d.width}, {"height", d.height}};
    for (const auto& [body, events] : rows) {
        EXPECT_EQ(InputActions::perform(input, body).at("display"), display) << body;
        const std::size_t count = events.size(); // clang 14 cannot capture a structured binding
        EXPECT_EQ(recorder.next([count](const Events& seen) { return seen.size() >= count; }),
                  events)
            << body;
    }
    for (const std::string& text : texts) {
        const auto answer = InputActions::perform(
            input, nlohmann::json{{"action", "type_text"}, {"text", text}}.dump());
        EXPECT_EQ(answer.at("skipped"), 0) << text;
        const Events events =
            recorder.next([&](const Events& seen) { return typedText(seen) == text; });
        EXPECT_EQ(typedText(events), text);
        EXPECT_FALSE(std::ranges::any_of(events, [](const std::string& event) {
            return event.ends_with(" ctrl") || event == "keydown 65507";
        })) << text;
    }
}

} // namespace zel::test
