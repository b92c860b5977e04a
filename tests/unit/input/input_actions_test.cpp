// InputActions over a recording backend: request rules, failures, numbers, points, event
// sequences and their pauses, and the action table against the agent server's list.
#include "base/app_error.hpp"
#include "input/input_actions.hpp"
#include "input/key_names.hpp"
#include "tests/support/command.hpp"
#include "tests/support/fakes/recording_input_backend.hpp"

#include <gtest/gtest.h>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using zel::Key;
using zel::ScreenPoint;
using zel::InputActions::perform;
using Events = std::vector<std::string>;

using Recorder = zel::test::RecordingInputBackend;
using zel::test::pointText;

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
    const std::pair<std::string, const char*> cases[] = {
        {R"({"action":"move","point":[1e999,0]})", "parser: [json.exception."},
        {R"( [1, 2] )", "Invalid input request."},
        {R"({"action":"\u00a0\u3000\t"})", "Input action is required."},
        {R"({"action":"Move"})", "Unsupported input action: Move"},
        {R"({"action":["move"]})", R"(Unsupported input action: ["move"])"},
        {R"({"action":"key"})", "Unsupported key: "},
        {R"({"action":"key","key":null,"text":"tab"})", "Unsupported key: null"},
        {R"({"action":"key","key":"ÉNTER"})", "Unsupported key: énter"},
        {R"({"action":"key","key":"F13"})", "Unsupported key: f13"},
        {R"({"action":"key_combo","key":"ctrl+s"})",
         R"(Key combination is required: "keys" as "ctrl+s" or ["ctrl","s"].)"},
        {R"({"action":"key_combo","keys":"ctrl++s"})",
         R"(A key combination part is empty (the plus key is written "ctrl++").)"},
        {R"({"action":"key_combo","keys":"s+ctrl"})",
         "Only ctrl, alt, super and shift go before the last key: s"},
        {R"({"action":"key_combo","keys":"ctrl+\u0007"})", "Unsupported key: U+0007"},
        {R"({"action":"key_combo","keys":"alt+f12"})", "This keyboard has no f12 key."},
        {R"({"action":"type_text","text":1})", R"(Text to type is required: "text" as a string.)"},
        {R"({"action":"type_text","text":""})", "Text to type is empty."},
        {R"({"action":"type_text","text":"ok\u001b[A"})",
         "Text holds a control character that cannot be typed: U+001B."},
        {R"({"action":"type_text","text":"\u0085"})",
         "Text holds a control character that cannot be typed: U+0085."},
        {R"({"action":"type_text","text":"\uffff"})",
         "This desktop cannot type text as keystrokes."},
        {R"({"action":"type_text","text":")" + std::string(501, 'x') + R"("})",
         "Text is longer than 500 characters: send it in parts."},
        // Modifiers, refused before any of them is pressed.
        {R"({"action":"click","modifiers":["ctrl","hyper"]})",
         "Unsupported modifier: hyper (ctrl, alt, super or shift)."},
        {R"({"action":"click","modifiers":["return"]})",
         "Unsupported modifier: return (ctrl, alt, super or shift)."},
        {R"({"action":"click","modifiers":"ctrl+"})",
         "Unsupported modifier:  (ctrl, alt, super or shift)."},
        {R"({"action":"click","modifiers":[1]})",
         R"("modifiers" must be names such as ["ctrl","shift"].)"},
        {R"({"action":"click","modifiers":{"ctrl":true}})",
         R"("modifiers" must be up to four names such as ["ctrl","shift"].)"},
        {R"({"action":"click","modifiers":["ctrl","alt","shift","super","ctrl"]})",
         R"("modifiers" must be up to four names such as ["ctrl","shift"].)"},
        {R"({"action":"key","key":"a","modifiers":["ctrl"]})",
         R"("modifiers" are for pointer actions; use "key_combo" for keys.)"}};
    for (const auto& [body, message] : cases) {
        Recorder backend;
        EXPECT_EQ(failure(backend, body), message) << body;
        EXPECT_TRUE(backend.events.empty()) << body;
    }
    Recorder untrusted; // the gate comes before the body is even read
    untrusted.isTrusted = false;
    for (const char* body : {"", R"({"action":"click"})"}) {
        EXPECT_EQ(failure(untrusted, body), untrusted.notTrustedMessage());
    }
    EXPECT_TRUE(untrusted.events.empty());
    // 32,000 levels in 64 KiB: named in the answer, never rendered level by level.
    Recorder deep;
    const std::string nested = std::string(32000, '[') + std::string(32000, ']');
    EXPECT_EQ(failure(deep, R"({"action":)" + nested + "}"),
              "Unsupported input action: array nested too deeply");
}

// The app's own window at 0,0 100×100 (pixels of the recorder's display): nothing a request would
// do there is posted, whichever field carries the point; keys are refused while it has the focus.
TEST(InputRequest, NothingReachesTheAppsOwnWindow) {
    struct Own final : zel::OwnWindows {
        zel::OwnWindowState state;
        bool covers(ScreenPoint point) override { return state.covers(point); }
        bool focused() override { return state.focused; }
    };
    const std::string onWindow = "[10,10]"; // normalized: well inside 100×100 on any display
    const std::string elsewhere = "[900,900]";
    const std::tuple<const char*, std::string, bool, bool> cases[] = {
        // request, focused, refused
        {"pointer on it", R"({"action":"left_click","coordinate":)" + onWindow + "}", false, true},
        {"point field", R"({"action":"right_click","point":)" + onWindow + "}", false, true},
        {"press on it", R"({"action":"left_down","coordinate":)" + onWindow + "}", false, true},
        {"drag onto it", R"({"action":"drag","from":)" + elsewhere + R"(,"to":)" + onWindow + "}",
         false, true},
        {"drag off it", R"({"action":"drag","from":)" + onWindow + R"(,"to":)" + elsewhere + "}",
         false, true},
        {"click elsewhere", R"({"action":"click","coordinate":)" + elsewhere + "}", true, false},
        {"scroll", R"({"action":"scroll"})", true, false},
        {"key focused", R"({"action":"key","key":"space"})", true, true},
        {"combo focused", R"({"action":"key_combo","keys":"alt+f4"})", true, true},
        {"text focused", R"({"action":"type_text","text":"x"})", true, true},
        {"paste focused", R"({"action":"paste"})", true, true},
        {"hold focused", R"({"action":"key_down","key":"alt"})", true, true},
        {"key unfocused", R"({"action":"key","key":"space"})", false, false},
        {"modifiers focused",
         R"({"action":"click","coordinate":)" + elsewhere + R"(,"modifiers":["ctrl"]})", true,
         true},
    };
    for (const auto& [name, body, focused, refused] : cases) {
        Recorder backend;
        Own own;
        own.state.areas = {
            {0, 0, 100 * backend.bounds.width / 1000 + 1, 100 * backend.bounds.height / 1000 + 1}};
        own.state.focused = focused;
        std::string error;
        try {
            perform(backend, body, &own);
        } catch (const zel::AppError& failure) {
            error = failure.message;
        }
        if (refused) {
            EXPECT_TRUE(error == zel::kOwnWindowPointerMessage ||
                        error == zel::kOwnWindowKeysMessage)
                << name << ": " << error;
            EXPECT_TRUE(backend.events.empty()) << name;
        } else {
            EXPECT_EQ(error, "") << name;
            EXPECT_FALSE(backend.events.empty()) << name;
        }
    }
}

// A key posted while another request's paste holds Control would arrive as Ctrl+key: the event
// sequences of concurrent requests must not interleave.
TEST(InputRequest, ConcurrentRequestsNeverInterleaveTheirEvents) {
    Recorder backend;
    backend.realTime = true;
    std::vector<std::jthread> requests;
    for (int i = 0; i < 4; ++i) {
        requests.emplace_back([&] { perform(backend, R"({"action":"paste"})"); });
        requests.emplace_back([&] { perform(backend, R"({"action":"key","key":"return"})"); });
    }
    requests.clear();
    ASSERT_EQ(backend.events.size(), 16U);
    for (std::size_t i = 0; i < backend.events.size(); i += 2) {
        EXPECT_EQ("release" + backend.events[i].substr(5), backend.events[i + 1]) << i;
    }
}

TEST(InputRequest, ActionsPostTheirEventsWithTheirPauses) {
    const std::pair<const char*, Events> cases[] = {
        {R"({"action":"double_click","point":[0,0]})",
         {"moved L 0,0 @0", "leftDown L 0,0 @20", "leftUp L 0,0 @60", "moved L 0,0 @180",
          "leftDown L 0,0 @200", "leftUp L 0,0 @240"}},
        {R"({"action":"right_drag"})", {"rightDragged R 756,491 @0"}},
        // A present key wins even when its value is unusable.
        {R"({"action":"move","coordinate":null,"point":[0,0]})", {"moved L 756,491 @0"}},
        {R"({"action":"key","key":" Esc ","text":"tab"})",
         {"press escape @0", "release escape @30"}},
        {R"({"action":"key","text":"RETURN\n"})", {"press return @0", "release return @30"}},
        {R"({"action":"key","key":"TAB"})", {}}, // neither event nor pause
        // One meaning per name in both actions, xdotool's spellings included.
        {R"({"action":"key","key":"Delete"})", {"press del @0", "release del @30"}},
        {R"({"action":"key","key":"BackSpace"})", {"press backspace @0", "release backspace @30"}},
        {R"({"action":"key_combo","keys":["shift","Alt","ctrl","shift"," Delete "]})",
         {"press shift @0", "press alt @0", "press ctrl @0", "press del @10", "release del @40",
          "release ctrl @50", "release alt @50", "release shift @50"}},
        {R"({"action":"key_combo","keys":"ctrl+shift++"})",
         {"press ctrl @0", "press shift @0", "type U+2B @10", "release shift @20",
          "release ctrl @20"}},
        {R"({"action":"type_text","text":"a\r\nb\rc\té你"})",
         {"type U+61 @0", "type U+A @5", "type U+62 @10", "type U+A @15", "type U+63 @20",
          "type U+9 @25", "type U+E9 @30", "type U+4F60 @35"}},
        // Middle and triple clicks, modifiers held around a pointer action, both wheels.
        {R"({"action":"middle_click","point":[0,0]})",
         {"moved M 0,0 @0", "middleDown M 0,0 @20", "middleUp M 0,0 @60"}},
        {R"({"action":"triple_click","point":[0,0]})",
         {"moved L 0,0 @0", "leftDown L 0,0 @20", "leftUp L 0,0 @60", "moved L 0,0 @180",
          "leftDown L 0,0 @200", "leftUp L 0,0 @240", "moved L 0,0 @360", "leftDown L 0,0 @380",
          "leftUp L 0,0 @420"}},
        {R"({"action":"click","point":[0,0],"modifiers":["Ctrl"," shift ","control"]})",
         // The point is read after the modifiers' events, which move the recorder's display.
         {"press ctrl @0", "press shift @0", "moved L 2,0 @10", "leftDown L 2,0 @30",
          "leftUp L 2,0 @70", "release shift @80", "release ctrl @80"}},
        {R"({"action":"right_click","point":[0,0],"modifiers":"alt+super"})",
         {"press alt @0", "press super @0", "moved R 2,0 @10", "rightDown R 2,0 @30",
          "rightUp R 2,0 @70", "release super @80", "release alt @80"}},
        {R"({"action":"scroll","direction":"Left","amount":2,"modifiers":[]})",
         {"hwheel -3 @0", "hwheel -3 @25"}},
        {R"({"action":"scroll","direction":"right","amount":1,"modifiers":["shift"]})",
         {"press shift @0", "hwheel 3 @10", "release shift @45"}},
        {R"({"action":"click","point":[0,0],"modifiers":null})",
         {"moved L 0,0 @0", "leftDown L 0,0 @20", "leftUp L 0,0 @60"}},
    };
    for (const auto& [body, events] : cases) {
        Recorder backend;
        EXPECT_EQ(perform(backend, body).at("ok"), true);
        EXPECT_EQ(backend.events, events) << body;
        // Nothing sleeps after the last event but a wheel step (InputScroll).
        const std::string last = events.empty() ? " @0" : events.back();
        if (!last.starts_with("hwheel")) {
            EXPECT_EQ(" @" + std::to_string(backend.now.count() / 1000),
                      last.substr(last.rfind(" @")))
                << body;
        }
    }
    // The answer counts what the desktop left out and names each such character once.
    Recorder backend;
    const json answer = perform(backend, R"({"action":"type_text","text":"a\uffffb\uffff"})");
    EXPECT_EQ(std::pair(answer.at("skipped"), answer.at("skippedText")),
              std::pair(json(2), json("\xEF\xBF\xBF")));
}

// Keys held across requests (Alt over several Tabs): pressed once, released once, and let go of
// all at once, newest first, when whoever held them is gone.
TEST(InputRequest, HeldKeysStayDownAcrossRequestsUntilReleased) {
    Recorder backend;
    const std::pair<const char*, Events> steps[] = {
        {R"({"action":"key_down","key":" Alt "})", {"press alt @0"}},
        {R"({"action":"key","key":"return"})", {"press return @0", "release return @30"}},
        {R"({"action":"key_down","key":"alt"})", {}}, // already down
        {R"({"action":"key_up","key":"ALT"})", {"release alt @30"}},
        {R"({"action":"key_up","key":"alt"})", {}}, // not down
        {R"({"action":"key_down","key":"ctrl"})", {"press ctrl @30"}},
        {R"({"action":"key_down","key":"shift"})", {"press shift @30"}},
    };
    for (const auto& [body, events] : steps) {
        backend.events.clear();
        perform(backend, body);
        EXPECT_EQ(backend.events, events) << body;
    }
    backend.events.clear();
    zel::InputActions::releaseHeldKeys(backend);
    EXPECT_EQ(backend.events, (Events{"release shift @30", "release ctrl @30"}));
    EXPECT_TRUE(backend.heldKeys().empty());
    EXPECT_EQ(failure(backend, R"({"action":"key_down","key":"a"})"), "Unsupported key: a");
    EXPECT_EQ(failure(backend, R"({"action":"key_up","key":"f12"})"),
              "This keyboard has no f12 key.");
}

TEST(InputRequest, DragWalksSixteenStepsThenTheAnswerReadsTheDisplay) {
    Recorder backend;
    backend.bounds = {0, 0, 1600, 900};
    // Both points are read before the first event, the answer's display after the last.
    EXPECT_EQ(
        perform(backend, R"({"action":" drag\n","start":[0,0],"coordinate":[5,5],"to":[1000,0]})"),
        nlohmann::json::parse(
            R"({"action":"drag","display":{"height":900,"width":1600,"x":19,"y":0},"ok":true})"));
    Events expected = {"moved L 0,0 @0", "leftDown L 0,0 @30"};
    for (int step = 1; step <= 16; ++step) {
        expected.push_back("leftDragged L " + std::to_string(100 * step) + ",0 @" +
                           std::to_string(110 + 18 * (step - 1)));
    }
    expected.emplace_back("leftUp L 1600,0 @458");
    EXPECT_EQ(backend.events, expected);
    // Modifiers are held around the whole drag.
    Recorder held;
    perform(held, R"({"action":"drag","from":[0,0],"to":[1000,0],"modifiers":["alt"]})");
    ASSERT_EQ(held.events.size(), 21U);
    EXPECT_EQ(held.events.front(), "press alt @0");
    EXPECT_EQ(held.events[1].substr(0, 5), "moved");
    EXPECT_EQ(held.events.back(), "release alt @478");
}

TEST(InputPoint, NumbersAndStringsMapOntoTheMainDisplayUnrounded) {
    // On a 1000 x 1000 display a normalized value is its own point; the fallback is the centre.
    const std::pair<json, ScreenPoint> cases[] = {
        {json::array({-20, 2000}), {0, 1000}},
        {json::array({"nan", "-Infinity"}), {1000, 0}},
        {json::array({true, nullptr}), {1, 500}},
        {json::array({".5", "0x1p3"}), {0.5, 8}},
        {json::array({"1e400", json::array({1})}), {1000, 500}},
        {json::array({" 250", "250\n"}), {500, 500}},
        {json::array({"0x", std::string{'1', '\0', '2'}}), {500, 500}},
        {json::array({1}), {500, 500}},
        {json("[250,750]"), {500, 500}}};
    for (const auto& [value, expected] : cases) {
        Recorder backend;
        backend.bounds = {0, 0, 1000, 1000};
        EXPECT_EQ(pointText(zel::InputActions::point(backend, &value)), pointText(expected))
            << value.dump();
    }
    Recorder offset;
    offset.bounds = {100, -50, 1601, 901};
    EXPECT_EQ(zel::InputActions::point(offset, nullptr), (ScreenPoint{900.5, 400.5}));
}

TEST(InputScroll, StepsAndDirection) {
    const std::tuple<const char*, int, int> cases[] = {{"", 6, -3},
                                                       {R"(,"amount":2.9)", 2, -3},
                                                       {R"(,"amount":0)", 1, -3},
                                                       {R"(,"amount":"inf")", 20, -3},
                                                       {R"(,"direction":"Up","amount":1)", 1, 3}};
    for (const auto& [fields, steps, delta] : cases) {
        Recorder backend;
        perform(backend, std::string(R"({"action":"scroll")") + fields + "}");
        Events expected;
        for (int step = 0; step < steps; ++step) {
            expected.push_back("wheel " + std::to_string(delta) + " @" + std::to_string(25 * step));
        }
        EXPECT_EQ(backend.events, expected) << fields;
        EXPECT_EQ(backend.now, 25ms * steps);
    }
}

// The agent server turns away any action or key name outside its own lists before it reaches us,
// so one missing on either side is refused or unreachable.
TEST(InputActions, TheAgentServerListsTheSameActionsAndKeys) {
    const auto listed = zel::test::runCommand(
        {"node", "--input-type=module", "-e",
         "import { kInputActions, kKeyNames } from '" ZEL_SOURCE_DIR
         "/resources/agent/src/input-rules.js';"
         "console.log([...kInputActions].join(' '));console.log(kKeyNames.join(' '));"});
    ASSERT_EQ(listed.exitStatus, 0);
    std::istringstream lines(listed.output);
    const auto words = [](const std::string& line) {
        std::istringstream in(line);
        return std::vector<std::string>(std::istream_iterator<std::string>(in), {});
    };
    std::string actions;
    std::string keys;
    std::getline(lines, actions);
    std::getline(lines, keys);
    const auto actionNames = zel::InputActions::actionNames();
    const auto agentActions = words(actions);
    EXPECT_EQ(std::set<std::string>(actionNames.begin(), actionNames.end()),
              std::set<std::string>(agentActions.begin(), agentActions.end()));
    const auto keyNames = zel::InputActions::keyNames();
    EXPECT_EQ(std::vector<std::string>(keyNames.begin(), keyNames.end()), words(keys));
}

} // namespace
