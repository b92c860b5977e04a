// The pointer and keyboard actions: numbers, points, event sequences with their pauses, scroll
// steps and the key table, observed through a recording backend.
#include "input/main_process_input.hpp"
#include "tests/unit/input_recording_backend.hpp"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using zel::Key;
using zel::KeyModifiers;
using zel::MouseButton;
using zel::MouseEventType;
using zel::ScreenPoint;
using zel::MainProcessInput::perform;
using zel::test::RecordedEvent;
using zel::test::RecordingBackend;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(InputNumber, JsonValuesAndCLibraryStrings) {
    const std::pair<json, double> cases[] = {
        {2.5, 2.5},
        {-4, -4},
        {json(18446744073709551615ULL), 18446744073709551615.0},
        {true, 1},
        {false, 0},
        {"250", 250},
        {"+7", 7},
        {"-.5", -0.5},
        {"1e3", 1000},
        {"0x1p3", 8},
        {"0X10", 16},
        {"INF", kInf},
        {"-Infinity", -kInf},
        {"1e400", kInf},
        {" 250", -1},
        {"\t1", -1},
        {"\v1", -1},
        {"250 ", -1},
        {"250\n", -1},
        {"", -1},
        {"1,5", -1},
        {"abc", -1},
        {"0x", -1}, // strtod reads the 0 and leaves the x over
        {std::string("1\0"
                     "2",
                     3),
         -1},
        {nullptr, -1},
        {json::array({1}), -1},
        {json::object({{"x", 1}}), -1},
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value.dump());
        EXPECT_EQ(zel::MainProcessInput::number(&value, -1), expected);
    }
    EXPECT_EQ(zel::MainProcessInput::number(nullptr, 42), 42);
    for (const char* nan : {"nan", "NaN", "-nan", "nan(7)"}) {
        const json value = nan;
        EXPECT_TRUE(std::isnan(zel::MainProcessInput::number(&value, -1))) << nan;
    }
}

TEST(InputPoint, NormalizedPositionsMapOntoTheMainDisplay) {
    const std::pair<json, ScreenPoint> cases[] = {
        {json::array({500, 500}), {756, 491}},
        {json::array({0, 0}), {0, 0}},
        {json::array({1000, 1000}), {1512, 982}},
        {json::array({250, 750}), {378, 736.5}},
        {json::array({-20, 2000}), {0, 982}},
        {json::array({-0.5, 1000.1}), {0, 982}},
        {json::array({"250", "750"}), {378, 736.5}},
        {json::array({" 250", 750}), {756, 736.5}},
        {json::array({"250 ", 750}), {756, 736.5}},
        {json::array({"nan", 0}), {1512, 0}},
        {json::array({"-inf", "inf"}), {0, 982}},
        {json::array({true, 0}), {1.512, 0}},
        {json::array({nullptr, 250}), {756, 245.5}},
        {json::array({1, 2, "x"}), {1.512, 1.964}},
        {json::array({1}), {756, 491}},
        {json::object({{"x", 1}, {"y", 2}}), {756, 491}},
        {json(7), {756, 491}},
        {json("[250,750]"), {756, 491}},
        {json(nullptr), {756, 491}},
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value.dump());
        RecordingBackend backend;
        const ScreenPoint got = zel::MainProcessInput::point(backend, &value);
        EXPECT_DOUBLE_EQ(got.x, expected.x);
        EXPECT_DOUBLE_EQ(got.y, expected.y);
    }
    RecordingBackend backend;
    EXPECT_EQ(zel::MainProcessInput::point(backend, nullptr), (ScreenPoint{756, 491}));
}

TEST(InputPoint, OffsetDisplaysAndNaNGoToTheFarEdgeUnrounded) {
    RecordingBackend backend;
    backend.bounds = {100, -50, 1601, 901};
    using zel::MainProcessInput::pointFromNormalized;
    EXPECT_EQ(pointFromNormalized(backend, 0, 0), (ScreenPoint{100, -50}));
    EXPECT_EQ(pointFromNormalized(backend, kNaN, kNaN), (ScreenPoint{1701, 851}));
    EXPECT_EQ(pointFromNormalized(backend, 500, 500), (ScreenPoint{900.5, 400.5}));
    EXPECT_EQ(pointFromNormalized(backend, -kInf, 999.999999),
              (ScreenPoint{100, -50 + 999.999999 / 1000 * 901}));
}

struct Expected {
    RecordedEvent::Kind kind;
    MouseEventType type;
    MouseButton button;
    std::chrono::microseconds at;
};

constexpr auto kMouse = RecordedEvent::Kind::mouse;

struct SequenceCase {
    const char* action;
    std::vector<Expected> events;
    std::chrono::microseconds duration;
};

TEST(InputPointerActions, EventKindsButtonsAndPauses) {
    using T = MouseEventType;
    constexpr auto L = MouseButton::left;
    constexpr auto R = MouseButton::right;
    const SequenceCase cases[] = {
        {"move", {{kMouse, T::moved, L, 0us}}, 0us},
        {"left_click",
         {{kMouse, T::moved, L, 0us}, {kMouse, T::leftDown, L, 20ms}, {kMouse, T::leftUp, L, 60ms}},
         60ms},
        {"click",
         {{kMouse, T::moved, L, 0us}, {kMouse, T::leftDown, L, 20ms}, {kMouse, T::leftUp, L, 60ms}},
         60ms},
        {"right_click",
         {{kMouse, T::moved, R, 0us},
          {kMouse, T::rightDown, R, 20ms},
          {kMouse, T::rightUp, R, 60ms}},
         60ms},
        {"double_click",
         {{kMouse, T::moved, L, 0us},
          {kMouse, T::leftDown, L, 20ms},
          {kMouse, T::leftUp, L, 60ms},
          {kMouse, T::moved, L, 180ms},
          {kMouse, T::leftDown, L, 200ms},
          {kMouse, T::leftUp, L, 240ms}},
         240ms},
        {"left_down", {{kMouse, T::leftDown, L, 0us}}, 0us},
        {"left_drag", {{kMouse, T::leftDragged, L, 0us}}, 0us},
        {"left_up", {{kMouse, T::leftUp, L, 0us}}, 0us},
        {"right_down", {{kMouse, T::rightDown, R, 0us}}, 0us},
        {"right_drag", {{kMouse, T::rightDragged, R, 0us}}, 0us},
        {"right_up", {{kMouse, T::rightUp, R, 0us}}, 0us},
    };
    for (const auto& [action, expected, duration] : cases) {
        SCOPED_TRACE(action);
        RecordingBackend backend;
        const auto response =
            perform(backend, json{{"action", action}, {"coordinate", {250, 750}}}.dump());
        EXPECT_EQ(response.at("action"), action);
        ASSERT_EQ(backend.events.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const auto& event = backend.events[i];
            EXPECT_EQ(event.kind, expected[i].kind) << i;
            EXPECT_EQ(event.type, expected[i].type) << i;
            EXPECT_EQ(event.button, expected[i].button) << i;
            EXPECT_EQ(event.at, expected[i].at) << i;
            EXPECT_EQ(event.point, (ScreenPoint{378, 736.5})) << i;
        }
        EXPECT_EQ(backend.now, duration);
    }
}

TEST(InputPointerActions, DragWalksSixteenStepsAndReleasesAtTheEnd) {
    RecordingBackend backend;
    backend.bounds = {0, 0, 1600, 900};
    perform(backend, R"({"action":"drag","from":[0,0],"to":[1000,0]})");
    ASSERT_EQ(backend.events.size(), 19U);
    EXPECT_EQ(backend.events[0].type, MouseEventType::moved);
    EXPECT_EQ(backend.events[0].at, 0us);
    EXPECT_EQ(backend.events[1].type, MouseEventType::leftDown);
    EXPECT_EQ(backend.events[1].point, (ScreenPoint{0, 0}));
    EXPECT_EQ(backend.events[1].at, 30ms);
    for (int step = 1; step <= 16; ++step) {
        const auto& event = backend.events[static_cast<std::size_t>(step) + 1];
        EXPECT_EQ(event.type, MouseEventType::leftDragged);
        EXPECT_EQ(event.point, (ScreenPoint{100.0 * step, 0}));
        EXPECT_EQ(event.at, 110ms + 18ms * (step - 1));
    }
    EXPECT_EQ(backend.events[18].type, MouseEventType::leftUp);
    EXPECT_EQ(backend.events[18].point, (ScreenPoint{1600, 0}));
    EXPECT_EQ(backend.events[18].at, 458ms);
    for (const auto& event : backend.events) {
        EXPECT_EQ(event.button, MouseButton::left);
    }

    // Uneven distances still end exactly on the end point.
    RecordingBackend uneven;
    const ScreenPoint from{0.1, 0.7};
    const ScreenPoint to{1234.567, 0.3};
    zel::MainProcessInput::drag(uneven, from, to);
    EXPECT_EQ(uneven.events[17].point, to);
    EXPECT_EQ(uneven.events[18].point, to);
    EXPECT_EQ(uneven.events[9].point,
              (ScreenPoint{from.x + (to.x - from.x) * 0.5, from.y + (to.y - from.y) * 0.5}));
}

struct ScrollCase {
    json request;
    int steps;
    int delta;
};

TEST(InputScroll, StepsAndDirection) {
    const ScrollCase cases[] = {
        {json::object(), 6, -3},
        {{{"amount", 2.9}}, 2, -3},
        {{{"amount", 20.99}}, 20, -3},
        {{{"amount", 0}}, 1, -3},
        {{{"amount", 0.5}}, 1, -3},
        {{{"amount", -4}}, 1, -3},
        {{{"amount", 100}}, 20, -3},
        {{{"amount", "3"}}, 3, -3},
        {{{"amount", " 3"}}, 6, -3},
        {{{"amount", nullptr}, {"delta", 2}}, 6, -3},
        {{{"delta", 2}}, 2, -3},
        {{{"amount", "inf"}}, 20, -3},
        {{{"amount", "-inf"}}, 1, -3},
        {{{"amount", "nan"}}, 1, -3},
        {{{"amount", 1e300}}, 20, -3},
        {{{"amount", -1e300}}, 1, -3},
        {{{"amount", 9223372036854775807LL}}, 20, -3},
        {{{"direction", "up"}, {"amount", 2}}, 2, 3},
        {{{"direction", "UP"}, {"amount", 2}}, 2, 3},
        {{{"direction", "Up"}, {"amount", 1}}, 1, 3},
        {{{"direction", " up"}, {"amount", 2}}, 2, -3},
        {{{"direction", "up\n"}, {"amount", 2}}, 2, -3},
        {{{"direction", "left"}, {"amount", 2}}, 2, -3},
        {{{"direction", "right"}, {"amount", 2}}, 2, -3},
        {{{"direction", nullptr}, {"amount", 2}}, 2, -3},
        {{{"direction", json::array({"up"})}, {"amount", 2}}, 2, -3},
    };
    for (const auto& [request, steps, delta] : cases) {
        SCOPED_TRACE(request.dump());
        RecordingBackend backend;
        json body = request;
        body["action"] = "scroll";
        body["coordinate"] = {0, 0};
        perform(backend, body.dump());
        ASSERT_EQ(backend.events.size(), static_cast<std::size_t>(steps));
        for (std::size_t i = 0; i < backend.events.size(); ++i) {
            EXPECT_EQ(backend.events[i].kind, RecordedEvent::Kind::scroll);
            EXPECT_EQ(backend.events[i].lineDelta, delta);
            EXPECT_EQ(backend.events[i].at, 25ms * static_cast<int>(i));
        }
        EXPECT_EQ(backend.now, 25ms * steps);
    }
}

TEST(InputKeys, NamesStrikeTheirKeyWithoutModifiers) {
    const std::pair<json, Key> cases[] = {
        {{{"key", "return"}}, Key::returnKey},
        {{{"key", "Return"}}, Key::returnKey},
        {{{"key", "RETURN"}}, Key::returnKey},
        {{{"key", "return\n"}}, Key::returnKey},
        {{{"key", "enter"}}, Key::returnKey},
        {{{"key", "  Tab  "}}, Key::tab},
        {{{"key", "SPACE"}}, Key::space},
        {{{"key", "delete"}}, Key::deleteBackward},
        {{{"key", "backspace"}}, Key::deleteBackward},
        {{{"key", "\u00a0escape\u3000"}}, Key::escape},
        {{{"key", "esc"}}, Key::escape},
        {{{"key", "left"}}, Key::left},
        {{{"key", "right"}}, Key::right},
        {{{"key", "down"}}, Key::down},
        {{{"key", "up"}}, Key::up},
        {{{"text", "tab"}}, Key::tab},
        {{{"key", "esc"}, {"text", "tab"}}, Key::escape},
    };
    for (const auto& [request, key] : cases) {
        SCOPED_TRACE(request.dump());
        RecordingBackend backend;
        json body = request;
        body["action"] = "key";
        perform(backend, body.dump());
        ASSERT_EQ(backend.events.size(), 2U);
        for (const auto& event : backend.events) {
            EXPECT_EQ(event.kind, RecordedEvent::Kind::key);
            EXPECT_EQ(event.key, key);
            EXPECT_EQ(event.modifiers, KeyModifiers::none);
        }
        EXPECT_TRUE(backend.events[0].down);
        EXPECT_FALSE(backend.events[1].down);
        EXPECT_EQ(backend.events[1].at, 30ms);
        EXPECT_EQ(backend.now, 30ms);
    }
}

TEST(InputKeys, PasteIsTheShortcutVStrokeAndIgnoresEveryField) {
    RecordingBackend backend;
    const auto response =
        perform(backend, R"({"action":"paste","key":"cmd+v","text":"hello","coordinate":[0,0]})");
    EXPECT_EQ(response.at("ok"), true);
    ASSERT_EQ(backend.events.size(), 2U);
    EXPECT_EQ(backend.events[0].key, Key::v);
    EXPECT_TRUE(backend.events[0].down);
    EXPECT_EQ(backend.events[0].modifiers, KeyModifiers::command);
    EXPECT_EQ(backend.events[1].key, Key::v);
    EXPECT_FALSE(backend.events[1].down);
    EXPECT_EQ(backend.events[1].modifiers, KeyModifiers::command);
    EXPECT_EQ(backend.events[1].at, 30ms);
}

TEST(InputKeys, AKeyThePlatformCannotMakePostsNothingAndSucceeds) {
    for (const char* body : {R"({"action":"key","key":"tab"})", R"({"action":"paste"})"}) {
        RecordingBackend backend;
        backend.missingKeys = {Key::tab, Key::v};
        EXPECT_EQ(perform(backend, body).at("ok"), true);
        EXPECT_TRUE(backend.events.empty());
        EXPECT_EQ(backend.now, 0us);
    }
}

} // namespace
