// The whole app as a user meets it: a private X server, the built app in a resource tree of its
// own, the real agent server and a stand-in tunnel client; the button pressed with xdotool and the
// QR code read off the screen. Screenshots are left in the build tree. How a connection fails and
// restarts its helpers: the supervisor's integration test.
#include "input/own_windows.hpp"
#include "tests/support/app_under_test.hpp"
#include "tests/support/command.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using namespace std::chrono_literals;
using zel::test::runCommand;
using zel::test::waitUntil;

int httpStatus(const std::string& url) {
    return std::atoi(
        runCommand({"curl", "-s", "-o", "/dev/null", "--max-time", "20", "-w", "%{http_code}", url})
            .output.c_str());
}

// The button pairs through the screen, the control service answers the secret the helpers were
// handed, and the button again takes the code off the screen and leaves no helper.
TEST(AppEndToEnd, ButtonPairsThroughTheScreenThenStopsLeavingNothingRunning) {
    zel::test::AppUnderTest app;
    ASSERT_TRUE(waitUntil([&] { return !app.windowId().empty(); }, 30s)) << "no window";
    app.pressButton();
    std::string link;
    ASSERT_TRUE(waitUntil([&] { return !(link = app.qrOnScreen("ready")).empty(); }, 60s))
        << "no QR code on screen; log:\n"
        << app.log();
    // The token the agent stored where the app's environment told it; base64url needs no escapes.
    const std::string token = app.token();
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(link, "zel://mac-control?url=https%3A%2F%2Fgentle-river-mosaic-lantern."
                    "trycloudflare.com%2F%3Ftoken%3D" +
                        token);
    const auto invocation = nlohmann::json::parse(zel::test::readFile(app.tunnelInvocation()));
    EXPECT_EQ(invocation["argv"], nlohmann::json({"tunnel", "--url", "http://127.0.0.1:8787"}));
    // The agent server's way there: the MCP end-to-end test; a wrong secret: the service's test.
    const std::string shotURL = app.agentVariable("ZEL_AGENT_SCREENSHOT_URL");
    ASSERT_EQ(shotURL.rfind("http://127.0.0.1:8788/screenshot?secret=", 0), 0U) << shotURL;
    EXPECT_EQ(httpStatus(shotURL + "&format=png"), 200); // the X11 test decodes what it sends

    // A remote client never operates the app itself: not a click on its button, nor a key while
    // its window has the focus (pressButton focused it). The connection stays up.
    const std::string inputURL = app.agentVariable("ZEL_AGENT_INPUT_URL");
    const auto geometry =
        runCommand({"xdotool", "getwindowgeometry", "--shell", app.windowId()}, {app.display()});
    const auto number = [&](const std::string& name) {
        const auto at = geometry.output.find(name + "=");
        return at == std::string::npos ? -1
                                       : std::atoi(geometry.output.c_str() + at + name.size() + 1);
    };
    const int centreX = number("X") + number("WIDTH") / 2;
    const int centreY = number("Y") + number("HEIGHT") / 2;
    ASSERT_GT(centreX, 0) << geometry.output;
    const auto input = [&](const std::string& body) {
        return runCommand({"curl", "-s", "--max-time", "20", "-d", body, inputURL}).output;
    };
    for (const auto& [body, refusal] :
         {std::pair{R"({"action":"left_click","coordinate":[)" +
                        std::to_string(centreX * 1000 / 1280) + "," +
                        std::to_string(centreY * 1000 / 900) + "]}",
                    zel::kOwnWindowPointerMessage},
          {R"({"action":"key","key":"space"})", zel::kOwnWindowKeysMessage}}) {
        EXPECT_NE(input(body).find(refusal), std::string::npos) << body;
    }
    EXPECT_EQ(app.helpers().size(), 2U) << "the connection went down";
    EXPECT_EQ(app.qrOnScreen("after-refusals"), link);

    ASSERT_TRUE(app.pressButton());
    EXPECT_TRUE(waitUntil([&] { return app.helpers().empty(); }, 15s)) << "helpers remain";
    EXPECT_TRUE(waitUntil([&] { return app.qrOnScreen("stopped").empty(); }, 15s));

    // Standard output is a file here, as a journal is: neither it nor the log holds a credential.
    const std::string secret = shotURL.substr(shotURL.find("secret=") + 7);
    for (const auto& [name, text] : {std::pair{"output", app.output()}, {"log", app.log()}}) {
        EXPECT_EQ(text.find(token), std::string::npos) << name << ":\n" << text;
        EXPECT_EQ(text.find(secret), std::string::npos) << name << ":\n" << text;
        EXPECT_EQ(text.find("zel://"), std::string::npos) << name << ":\n" << text;
    }
}

} // namespace
