// The request rules of MainProcessInput::perform: trust gate, parsing, failures, field lookup,
// action-name trimming and the response object.
#include "app/app_error.hpp"
#include "input/input_text.hpp"
#include "input/main_process_input.hpp"
#include "tests/unit/input_recording_backend.hpp"

#include <gtest/gtest.h>

namespace {

using zel::MainProcessInput::perform;
using zel::test::RecordingBackend;

struct FailureCase {
    const char* body;
    const char* message;
};

TEST(InputRequest, FailuresAreExactAndPostNothing) {
    const std::string notTrusted(zel::MainProcessInput::kNotTrustedMessage);
    const FailureCase cases[] = {
        {R"([1, 2])", "Invalid input request."},
        {R"( [] )", "Invalid input request."},
        {R"({})", "Input action is required."},
        {R"({"action":"   \n"})", "Input action is required."},
        {R"({"action":"\u00a0\u3000\t"})", "Input action is required."},
        {R"({"action":"Move"})", "Unsupported input action: Move"},
        {R"({"action":" click me "})", "Unsupported input action: click me"},
        {R"({"action":"\u200bmove"})", "Unsupported input action: \u200bmove"},
        {R"({"action":null})", "Unsupported input action: null"},
        {R"({"action":["move"]})", R"(Unsupported input action: ["move"])"},
        {R"({"action":"key"})", "Unsupported key: "},
        {R"({"action":"key","key":"  "})", "Unsupported key: "},
        {R"({"action":"key","key":null,"text":"tab"})", "Unsupported key: null"},
        {R"({"action":"key","key":13})", "Unsupported key: 13"},
        {R"({"action":"key","key":"cmd+v"})", "Unsupported key: cmd+v"},
        {R"({"action":"key","key":"A"})", "Unsupported key: a"},
        {R"({"action":"key","text":" F5\n"})", "Unsupported key: f5"},
        {R"({"action":"key","key":"ÉNTER"})", "Unsupported key: énter"},
    };
    for (const auto& [body, message] : cases) {
        SCOPED_TRACE(body);
        RecordingBackend backend;
        try {
            perform(backend, body);
            ADD_FAILURE() << "no failure";
        } catch (const zel::AppError& error) {
            EXPECT_EQ(error.message, message);
        }
        EXPECT_TRUE(backend.events.empty());
        EXPECT_EQ(backend.now.count(), 0);
    }
}

TEST(InputRequest, UntrustedFailsBeforeTheBodyIsRead) {
    for (const char* body : {"", "not json", "[1]", R"({"action":"move"})"}) {
        RecordingBackend backend;
        backend.isTrusted = false;
        try {
            perform(backend, body);
            ADD_FAILURE() << "no failure for " << body;
        } catch (const zel::AppError& error) {
            EXPECT_EQ(error.message, zel::MainProcessInput::kNotTrustedMessage);
        }
        EXPECT_TRUE(backend.events.empty());
        EXPECT_EQ(backend.boundsReads, 0);
    }
}

TEST(InputRequest, BodiesThatAreNotAJsonDocumentFailWithTheParserError) {
    for (const char* body :
         {"", " ", "{", R"({"action":"move",})", "5", "\"move\"", "true", "null", "\xff",
          R"({"action":"mo\xffve"})", "{} {}", R"({"action":"move","point":[1e999,0]})"}) {
        SCOPED_TRACE(body);
        RecordingBackend backend;
        try {
            perform(backend, body);
            ADD_FAILURE() << "no failure";
        } catch (const nlohmann::json::exception& error) {
            // The parser's own error: a syntax error, or a number too large for a double.
            EXPECT_EQ(std::string(error.what()).rfind("[json.exception.", 0), 0U) << error.what();
        }
        EXPECT_TRUE(backend.events.empty());
    }
}

TEST(InputRequest, ActionNameIsTrimmedAndAnsweredTrimmed) {
    for (const char* action : {" move\n", "\u2028move\u00a0", "move\u0085", "\r\vmove\f\u2003"}) {
        RecordingBackend backend;
        const auto response = perform(backend, nlohmann::json{{"action", action}}.dump());
        EXPECT_EQ(response.at("action"), "move");
        EXPECT_EQ(backend.events.size(), 1U);
    }
}

TEST(InputRequest, ResponseReportsTheDisplayReadAfterTheAction) {
    RecordingBackend backend;
    backend.shiftBoundsPerEvent = true;
    const auto response = perform(backend, R"({"action":"click","coordinate":[500,500]})");
    // Three events moved the display three times before the response read it.
    EXPECT_EQ(response.dump(),
              R"({"action":"click","display":{"height":982,"width":1512,"x":3,"y":0},"ok":true})");
    EXPECT_EQ(backend.events.front().point, (zel::ScreenPoint{756, 491}));
}

TEST(InputRequest, DisplayNumbersAreIntegersOnlyWhenWhole) {
    RecordingBackend backend;
    backend.bounds = {-1920, 0.5, 1920, 1e300};
    const auto response = perform(backend, R"({"action":"paste","key":"tab","point":7})");
    EXPECT_EQ(response.at("display").dump(), R"({"height":1e+300,"width":1920,"x":-1920,"y":0.5})");
    EXPECT_EQ(response.at("ok"), true);
}

struct LookupCase {
    const char* body;
    std::vector<zel::ScreenPoint> points;
};

TEST(InputRequest, APresentKeyWinsEvenWhenUnusable) {
    const LookupCase cases[] = {
        {R"({"action":"move","coordinate":null,"point":[0,0]})", {{756, 491}}},
        {R"({"action":"move","point":[0,0]})", {{0, 0}}},
        {R"({"action":"move","coordinate":[1000,0],"point":[0,0]})", {{1512, 0}}},
        {R"({"action":"move","Coordinate":[0,0]})", {{756, 491}}},
        {R"({"action":"left_down","coordinate":"0,0"})", {{756, 491}}},
        {R"({"action":"drag","start":[0,0],"coordinate":[1000,1000],"end":[0,0]})",
         {{0, 0}, {0, 0}}},
        {R"({"action":"drag","coordinate":[0,0]})", {{0, 0}, {756, 491}}},
        {R"({"action":"drag","from":null,"start":[0,0],"to":[0,0],"end":[1000,1000]})",
         {{756, 491}, {0, 0}}},
    };
    for (const auto& [body, points] : cases) {
        SCOPED_TRACE(body);
        RecordingBackend backend;
        perform(backend, body);
        ASSERT_FALSE(backend.events.empty());
        EXPECT_EQ(backend.events.front().point, points.front());
        EXPECT_EQ(backend.events.back().point, points.back());
    }
}

TEST(InputRequest, RealBackendsReallyPause) {
    // A backend that keeps the default pause: the request lasts at least the click's 60 ms.
    struct SleepingBackend : RecordingBackend {
        void pause(std::chrono::microseconds duration) override {
            InputBackend::pause(duration); // NOLINT(bugprone-parent-virtual-call)
        }
    } backend;
    const auto start = std::chrono::steady_clock::now();
    perform(backend, R"({"action":"right_click"})");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
}

TEST(InputText, TrimsOnlyTheListedWhiteSpaceAndLowercasesFully) {
    EXPECT_EQ(zel::trimInputWhitespace("\u1680\u202f\u205f a b \u2029\u000b"), "a b");
    EXPECT_EQ(zel::trimInputWhitespace("\u200b a \ufeff"), "\u200b a \ufeff");
    EXPECT_EQ(zel::trimInputWhitespace(" \xff "), "\xff");
    EXPECT_EQ(zel::unicodeLowercase("RETURN Ünï"), "return ünï");
    EXPECT_EQ(zel::unicodeLowercase("\u0130"), "i\u0307");
    EXPECT_EQ(zel::unicodeLowercase("\u039f\u0394\u039f\u03a3"), "\u03bf\u03b4\u03bf\u03c2");
}

} // namespace
