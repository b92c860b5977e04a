// An InputBackend for tests: records every event with the time of a fake clock that the pauses
// advance, so action timing is checked exactly and without waiting.
#pragma once

#include "input/input_backend.hpp"

#include <chrono>
#include <set>
#include <vector>

namespace zel::test {

struct RecordedEvent {
    enum class Kind { mouse, scroll, key };
    Kind kind = Kind::mouse;
    MouseEventType type = MouseEventType::moved;
    ScreenPoint point;
    MouseButton button = MouseButton::left;
    int lineDelta = 0;
    Key key = Key::returnKey;
    bool down = false;
    KeyModifiers modifiers = KeyModifiers::none;
    std::chrono::microseconds at{0};
};

class RecordingBackend : public InputBackend {
public:
    bool trusted() override { return isTrusted; }
    DisplayBounds mainDisplayBounds() override {
        ++boundsReads;
        return bounds;
    }
    void postMouse(MouseEventType type, ScreenPoint point, MouseButton button) override {
        RecordedEvent event;
        event.type = type;
        event.point = point;
        event.button = button;
        record(event);
    }
    void postScroll(int lineDelta) override {
        RecordedEvent event;
        event.kind = RecordedEvent::Kind::scroll;
        event.lineDelta = lineDelta;
        record(event);
    }
    bool canPostKey(Key key, KeyModifiers /*modifiers*/) override {
        return !missingKeys.contains(key);
    }
    void postKey(Key key, bool down, KeyModifiers modifiers) override {
        RecordedEvent event;
        event.kind = RecordedEvent::Kind::key;
        event.key = key;
        event.down = down;
        event.modifiers = modifiers;
        record(event);
    }
    void pause(std::chrono::microseconds duration) override { now += duration; }

    bool isTrusted = true;
    DisplayBounds bounds{0, 0, 1512, 982};
    // Moves the display by one point per posted event, to tell when the bounds were read.
    bool shiftBoundsPerEvent = false;
    std::set<Key> missingKeys;
    std::vector<RecordedEvent> events;
    std::chrono::microseconds now{0};
    int boundsReads = 0;

private:
    void record(RecordedEvent event) {
        event.at = now;
        events.push_back(event);
        if (shiftBoundsPerEvent) {
            bounds.x += 1;
        }
    }
};

} // namespace zel::test
