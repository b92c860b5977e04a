// The built app on a headless sway, its DISPLAY empty: its window is the compositor's client,
// and started with --start it serves the compositor's screen, its changes and input through the
// agent server as the phone reaches it, and its log names the platform. A recording client (wev)
// shows where the click landed.
#include "tests/support/app_under_test.hpp"
#include "tests/support/command.hpp"
#include "tests/support/sway.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using namespace std::chrono_literals;
using zel::test::readFile;
using zel::test::runCommand;
using zel::test::waitUntil;

TEST(AppOnWayland, ServesTheCompositorsScreenAndInput) {
    const zel::test::Sway sway("for_window [app_id=\"wev\"] fullscreen enable");
    // The compositor's socket by its full path: the app keeps a runtime directory of its own.
    zel::test::AppSetup setup;
    setup.arguments = {"--start"};
    setup.environment = {"WAYLAND_DISPLAY=" + sway.socket(), "DISPLAY=", "QT_QPA_PLATFORM=wayland"};
    const zel::test::AppUnderTest app(setup);
    ASSERT_TRUE(waitUntil([&] { return !app.token().empty(); }, 60s)) << app.log();
    EXPECT_TRUE(waitUntil(
        [&] {
            return app.log().find("Platform: Wayland (" + sway.socket() + ").") != app.log().npos;
        },
        10s))
        << app.log();
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(app.tunnelInvocation()); }, 60s));
    const auto invocation = nlohmann::json::parse(readFile(app.tunnelInvocation()));
    const std::string shotURL = invocation["env"].value("ZEL_AGENT_SCREENSHOT_URL", "");
    ASSERT_FALSE(shotURL.empty());

    // The compositor's background beside the window, as only the Wayland capture sees it.
    const auto png = app.dir.path() / "shot.png";
    runCommand({"curl", "-s", "-f", "-o", png.string(), shotURL + "&format=png&width=1920"});
    EXPECT_EQ(runCommand({"convert", png.string(), "-format", "%[hex:p{40,1040}]", "info:"}).output,
              "204080");

    EXPECT_NE(sway.message({"-t", "get_tree"}).output.find(R"("app_id": "zel-desktop-agent")"),
              std::string::npos)
        << "the window is not on the compositor";
    // Drawn by Qt's Wayland plugin: the window's own grey where the compositor centred it.
    EXPECT_TRUE(waitUntil(
        [&] {
            runCommand(
                {"curl", "-s", "-f", "-o", png.string(), shotURL + "&format=png&width=1920"});
            return runCommand({"convert", png.string(), "-format", "%[hex:p{960,700}]", "info:"})
                       .output == "EFEFEF";
        },
        10s))
        << runCommand({"convert", png.string(), "-format", "%[hex:p{960,700}]", "info:"}).output;

    // The live view's long poll: the whole frame first, then what the compositor drew since.
    std::string tilesURL = shotURL;
    tilesURL.replace(tilesURL.find("/screenshot?"), 12, "/tiles?");
    const auto tilesHead = [&](long long since) {
        const std::string body =
            runCommand({"curl", "-s", "-f", "--max-time", "20",
                        tilesURL + "&width=960&wait=5000&since=" + std::to_string(since)})
                .output;
        return nlohmann::json::parse(body.substr(0, body.find('\n')), nullptr, false);
    };
    const auto first = tilesHead(0);
    ASSERT_TRUE(first.is_object()) << first;
    EXPECT_TRUE(first.value("full", false)) << first;

    const std::string wevLog = sway.path("wev.log");
    const zel::test::Child wev({"sh", "-c", "exec stdbuf -oL wev >\"$0\" 2>&1", wevLog},
                               sway.clientEnv());
    ASSERT_TRUE(
        waitUntil([&] { return readFile(wevLog).find("fullscreen") != std::string::npos; }, 10s));
    const std::string answer =
        runCommand({"curl", "-s", "-f", "--max-time", "20", "http://127.0.0.1:8787/api/input", "-H",
                    "Authorization: Bearer " + app.token(), "-H", "Content-Type: application/json",
                    "--data-binary", R"({"action":"click","coordinate":[250,750]})"})
            .output;
    EXPECT_NE(answer.find("\"ok\":true"), std::string::npos) << answer;
    EXPECT_NE(answer.find("\"width\":1920"), std::string::npos) << answer;
    EXPECT_TRUE(waitUntil(
        [&] {
            const std::string events = readFile(wevLog);
            const auto motion = events.find("x, y: 480.000000, 810.000000");
            return motion != std::string::npos &&
                   events.find("state: 0 (released)", events.find("button: 272", motion)) !=
                       std::string::npos;
        },
        10s))
        << readFile(wevLog);
    // wev's window and the click's cursor move were drawn after the first answer.
    const auto drawn = tilesHead(first.value("sequence", 0LL));
    EXPECT_FALSE(drawn.value("tiles", nlohmann::json::array()).empty()) << drawn;
}

} // namespace
