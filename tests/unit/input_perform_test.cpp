// MainProcessInput over a backend that logs every event with the time of a fake clock that the
// pauses advance: request rules, failures, numbers, points, event sequences and their pauses.
#include "app/app_error.hpp"
#include "input/main_process_input.hpp"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <set>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using zel::Key;
using zel::ScreenPoint;
using zel::MainProcessInput::perform;
using Events = std::vector<std::string>;

std::string text(ScreenPoint point) {
    std::ostringstream out;
    out.precision(17); // exact, so that "reaches the end point" means exactly
    out << point.x << ',' << point.y;
    return out.str();
}

class Recorder : public zel::InputBackend {
public:
    bool trusted() override { return isTrusted; }
    zel::DisplayBounds mainDisplayBounds() override {
        ++boundsReads;
        return bounds;
    }
    void postMouse(zel::MouseEventType type, ScreenPoint at, zel::MouseButton button) override {
        static constexpr const char* kNames[] = {
            "moved", "leftDown", "leftUp", "rightDown", "rightUp", "leftDragged", "rightDragged"};
        log(std::string(kNames[static_cast<int>(type)]) +
            (button == zel::MouseButton::left ? " L " : " R ") + text(at));
    }
    void postScroll(int lineDelta) override { log("wheel " + std::to_string(lineDelta)); }
    bool canPostKey(Key key, zel::KeyModifiers /*modifiers*/) override {
        return !missing.contains(key);
    }
    void postKey(Key key, bool down, zel::KeyModifiers modifiers) override {
        static constexpr const char* kNames[] = {"return", "tab",   "space", "delete", "escape",
                                                 "left",   "right", "down",  "up",     "v"};
        log(std::string(down ? "press " : "release ") + kNames[static_cast<int>(key)] +
            (modifiers == zel::KeyModifiers::command ? "+cmd" : ""));
    }
    void pause(std::chrono::microseconds duration) override { now += duration; }

    bool isTrusted = true;
    zel::DisplayBounds bounds{0, 0, 1512, 982};
    bool shiftBoundsPerEvent = false; // tells when the bounds were read
    std::set<Key> missing;
    Events events;
    std::chrono::microseconds now{0};
    int boundsReads = 0;

private:
    void log(const std::string& event) {
        events.push_back(event + " @" + std::to_string(now.count() / 1000));
        bounds.x += shiftBoundsPerEvent ? 1 : 0;
    }
};

std::string failure(Recorder& backend, std::string_view body) {
    try {
        perform(backend, body);
    } catch (const zel::AppError& error) {
        return error.message;
    } catch (const nlohmann::json::exception& error) {
        return "parser: " + std::string(error.what()).substr(0, 16);
    }
    return "no failure";
}

TEST(InputRequest, FailuresAreExactAndPostNothing) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"action":"move","point":[1e999,0]})", "parser: [json.exception."},
        {R"( [1, 2] )", "Invalid input request."},
        {R"({"action":"\u00a0\u3000\t"})", "Input action is required."},
        {R"({"action":"Move"})", "Unsupported input action: Move"},
        {R"({"action":["move"]})", R"(Unsupported input action: ["move"])"},
        {R"({"action":"key"})", "Unsupported key: "},
        {R"({"action":"key","key":null,"text":"tab"})", "Unsupported key: null"},
        {R"({"action":"key","text":" F5\n"})", "Unsupported key: f5"},
        {R"({"action":"key","key":"ÉNTER"})", "Unsupported key: énter"}};
    for (const auto& [body, message] : cases) {
        Recorder backend;
        EXPECT_EQ(failure(backend, body), message) << body;
        EXPECT_TRUE(backend.events.empty()) << body;
    }
    Recorder untrusted;
    untrusted.isTrusted = false;
    EXPECT_EQ(failure(untrusted, ""), zel::MainProcessInput::kNotTrustedMessage);
    EXPECT_EQ(untrusted.boundsReads + untrusted.events.size(), 0U);
}

TEST(InputRequest, ActionsPostTheirEventsWithTheirPauses) {
    const std::pair<const char*, Events> cases[] = {
        {R"({"action":"\u2028move\u0085","coordinate":[250,750]})", {"moved L 378,736.5 @0"}},
        {R"({"action":"double_click","point":[0,0]})",
         {"moved L 0,0 @0", "leftDown L 0,0 @20", "leftUp L 0,0 @60", "moved L 0,0 @180",
          "leftDown L 0,0 @200", "leftUp L 0,0 @240"}},
        {R"({"action":"right_drag"})", {"rightDragged R 756,491 @0"}},
        {R"({"action":"paste","key":"tab"})", {"press v+cmd @0", "release v+cmd @30"}},
        // A present key wins even when its value is unusable.
        {R"({"action":"move","coordinate":null,"point":[0,0]})", {"moved L 756,491 @0"}},
        {R"({"action":"key","key":" Esc ","text":"tab"})",
         {"press escape @0", "release escape @30"}},
        {R"({"action":"key","text":"RETURN\n"})", {"press return @0", "release return @30"}}};
    for (const auto& [body, events] : cases) {
        Recorder backend;
        EXPECT_EQ(perform(backend, body).at("ok"), true);
        EXPECT_EQ(backend.events, events) << body;
        // Nothing sleeps after the last event (scrolls do, tested below).
        EXPECT_EQ("@" + std::to_string(backend.now.count() / 1000),
                  events.back().substr(events.back().rfind('@')))
            << body;
    }
}

TEST(InputRequest, DragWalksSixteenStepsAndReleasesExactlyAtTheEnd) {
    Recorder backend;
    backend.bounds = {0, 0, 1600, 900};
    perform(backend, R"({"action":"drag","start":[0,0],"coordinate":[500,500],"to":[1000,0]})");
    Events expected = {"moved L 0,0 @0", "leftDown L 0,0 @30"};
    for (int step = 1; step <= 16; ++step) {
        expected.push_back("leftDragged L " + std::to_string(100 * step) + ",0 @" +
                           std::to_string(110 + 18 * (step - 1)));
    }
    expected.emplace_back("leftUp L 1600,0 @458");
    EXPECT_EQ(backend.events, expected);

    Recorder uneven;
    const ScreenPoint to{1234.567, 0.3};
    zel::MainProcessInput::drag(uneven, {0.1, 0.7}, to);
    EXPECT_EQ(uneven.events.back(), "leftUp L " + text(to) + " @458");
}

TEST(InputRequest, ResponseReportsTheDisplayReadAfterTheActionWithWholeNumbersAsIntegers) {
    Recorder backend;
    backend.shiftBoundsPerEvent = true;
    EXPECT_EQ(perform(backend, R"({"action":" click\n","coordinate":[500,500]})").dump(),
              R"({"action":"click","display":{"height":982,"width":1512,"x":3,"y":0},"ok":true})");
}

TEST(InputNumber, JsonValuesAndCLibraryStrings) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::pair<json, double> cases[] = {
        {true, 1}, {"-.5", -0.5}, {"0x1p3", 8}, {"-Infinity", -kInf}, {"1e400", kInf}};
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(zel::MainProcessInput::number(&value, -1), expected) << value.dump();
    }
    for (const json& rejected : {json(" 250"), json("250\n"), json("0x"),
                                 json(std::string{'1', '\0', '2'}), json::array({1})}) {
        EXPECT_EQ(zel::MainProcessInput::number(&rejected, -1), -1) << rejected.dump();
    }
    const json nan = "-NaN";
    EXPECT_TRUE(std::isnan(zel::MainProcessInput::number(&nan, -1)));
}

TEST(InputPoint, NormalizedPositionsMapOntoTheMainDisplayUnrounded) {
    const std::pair<json, ScreenPoint> cases[] = {{json::array({-20, 2000}), {0, 982}},
                                                  {json::array({"nan", "-inf"}), {1512, 0}},
                                                  {json::array({true, nullptr}), {1.512, 491}},
                                                  {json::array({1}), {756, 491}},
                                                  {json("[250,750]"), {756, 491}}};
    for (const auto& [value, expected] : cases) {
        Recorder backend;
        const ScreenPoint got = zel::MainProcessInput::point(backend, &value);
        EXPECT_DOUBLE_EQ(got.x, expected.x) << value.dump();
        EXPECT_DOUBLE_EQ(got.y, expected.y) << value.dump();
    }
    Recorder offset;
    offset.bounds = {100, -50, 1601, 901};
    EXPECT_EQ(zel::MainProcessInput::point(offset, nullptr), (ScreenPoint{900.5, 400.5}));
}

TEST(InputScroll, StepsAndDirection) {
    const std::tuple<json, int, int> cases[] = {{json::object(), 6, -3},
                                                {{{"amount", 2.9}}, 2, -3},
                                                {{{"amount", 0}}, 1, -3},
                                                {{{"amount", nullptr}, {"delta", 2}}, 6, -3},
                                                {{{"amount", "inf"}}, 20, -3},
                                                {{{"direction", "Up"}, {"amount", 1}}, 1, 3},
                                                {{{"direction", " up"}, {"amount", 1}}, 1, -3}};
    for (auto [body, steps, delta] : cases) {
        Recorder backend;
        body["action"] = "scroll";
        perform(backend, body.dump());
        Events expected;
        for (int step = 0; step < steps; ++step) {
            expected.push_back("wheel " + std::to_string(delta) + " @" + std::to_string(25 * step));
        }
        EXPECT_EQ(backend.events, expected) << body;
        EXPECT_EQ(backend.now, 25ms * steps);
    }
}

TEST(InputKeys, KeysThePlatformCannotMakeAreSkipped) {
    Recorder backend;
    backend.missing = {Key::v};
    EXPECT_EQ(perform(backend, R"({"action":"paste"})").at("ok"), true);
    EXPECT_EQ(backend.events.size() + backend.now.count(), 0U);
}

} // namespace
