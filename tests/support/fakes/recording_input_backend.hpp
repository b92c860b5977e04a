// An input backend that logs every event with the time of a fake clock that the pauses advance,
// e.g. "leftDown L 0,0 @20" (milliseconds). Points are written exactly, so that "reaches the end
// point" means exactly. Tab and F12 stand for keys the platform cannot make, U+FFFF for a
// character it cannot type. With `realTime` the pauses sleep instead, so that requests on several
// threads overlap as on a real desktop.
#pragma once

#include "input/input_backend.hpp"

#include <array>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace zel::test {

inline std::string pointText(ScreenPoint point) {
    std::ostringstream out;
    out.precision(17);
    out << point.x << ',' << point.y;
    return out.str();
}

class RecordingInputBackend final : public InputBackend {
public:
    bool trusted() override { return isTrusted; }
    DisplayBounds mainDisplayBounds() override {
        const std::lock_guard lock(mutex_);
        return bounds;
    }
    void postMouse(MouseEventType type, ScreenPoint at, MouseButton button) override {
        static constexpr const char* kNames[] = {"moved",        "leftDown",   "leftUp",
                                                 "rightDown",    "rightUp",    "leftDragged",
                                                 "rightDragged", "middleDown", "middleUp"};
        static constexpr const char* kButtons[] = {" L ", " R ", " M "};
        log(std::string(kNames[static_cast<int>(type)]) + kButtons[static_cast<int>(button)] +
            pointText(at));
    }
    void postScroll(int lineDelta) override { log("wheel " + std::to_string(lineDelta)); }
    void postHorizontalScroll(int columnDelta) override {
        log("hwheel " + std::to_string(columnDelta));
    }
    bool canPostKey(Key key, KeyModifiers /*modifiers*/) override {
        return key != Key::tab && key != Key::f12;
    }
    void postKey(Key key, bool down, KeyModifiers modifiers) override {
        static constexpr const char* kNames[] = {
            "return", "tab", "space", "backspace", "escape", "left",   "right",  "down", "up",
            "v",      "del", "ins",   "home",      "end",    "pageup", "pagedn", "menu", "f1",
            "f2",     "f3",  "f4",    "f5",        "f6",     "f7",     "f8",     "f9",   "f10",
            "f11",    "f12", "ctrl",  "alt",       "super",  "shift"};
        log(std::string(down ? "press " : "release ") + kNames[static_cast<int>(key)] +
            (modifiers == KeyModifiers::command ? "+cmd" : ""));
    }
    // One event per character, as U+ numbers; the pauses between characters as a real one has.
    std::size_t typeText(std::u32string_view text, std::chrono::microseconds pause) override {
        std::size_t typed = 0;
        for (const char32_t character : text) {
            if (character != 0xffff) {
                std::array<char, 16> name{};
                std::snprintf(name.data(), name.size(), "type U+%X",
                              static_cast<unsigned>(character));
                this->pause(typed++ > 0 ? pause : std::chrono::microseconds{0});
                log(name.data());
            }
        }
        return typed;
    }
    void pause(std::chrono::microseconds duration) override {
        if (realTime) {
            std::this_thread::sleep_for(duration);
        } else {
            now += duration;
        }
    }

    bool isTrusted = true;
    bool realTime = false;
    DisplayBounds bounds{0, 0, 1512, 982};
    std::vector<std::string> events;
    std::chrono::microseconds now{0};

private:
    void log(const std::string& event) {
        const std::lock_guard lock(mutex_);
        events.push_back(event + " @" + std::to_string(now.count() / 1000));
        ++bounds.x; // tells when the bounds were read
    }
    std::mutex mutex_;
};

} // namespace zel::test
