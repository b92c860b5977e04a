// The whole app as a user meets it: a private X server, the built app in a resource tree of its
// own, the real agent server and a stand-in tunnel client; the button pressed with xdotool and the
// QR code read off the screen. What the window says is read where the app prints it for a
// terminal, from the same change of the display. Screenshots are left in the build tree.
#include "app/display_model.hpp"
#include "tests/support/app_under_test.hpp"
#include "tests/support/command.hpp"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zel::test::alive;
using zel::test::AppUnderTest;
using zel::test::readFile;
using zel::test::runCommand;
using zel::test::waitUntil;

const std::string kAddress = "https%3A%2F%2Fgentle-river-mosaic-lantern.trycloudflare.com";

nlohmann::json readJSON(const fs::path& file) {
    return nlohmann::json::parse(readFile(file), nullptr, false);
}

pid_t tunnelPid(const AppUnderTest& app) {
    const auto invocation = readJSON(app.tunnelInvocation());
    return invocation.is_object() ? invocation.value("pid", 0) : 0;
}

std::string failureLine(const std::string& detail) {
    return std::string(zel::kFailedStatus) + "：" + detail + "\n";
}

// The HTTP status of a GET; curlOptions: headers.
int httpStatus(const std::string& url, std::vector<std::string> curlOptions = {}) {
    curlOptions.insert(curlOptions.begin(), {"curl", "-s", "-o", "/dev/null", "--max-time", "20",
                                             "-w", "%{http_code}", url});
    return std::atoi(runCommand(curlOptions).output.c_str());
}

// One run: pairing, the control service's secret, crashes of the agent server, the ways a start
// fails (each followed by a new start), and the quit that ends the helpers.
TEST(AppEndToEnd, PairCrashFailRestartAndQuitLeaveNothingRunning) {
    // A tunnel that never announces gives up after 3 s instead of 30.
    zel::test::AppSetup setup;
    setup.environment = {"ZEL_TUNNEL_TIMEOUT=3"};
    AppUnderTest app(setup);
    ASSERT_TRUE(waitUntil([&] { return !app.windowId().empty(); }, 30s)) << "no window";
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(app.qrOnScreen("idle"), "");

    app.pressButton();
    std::string link;
    ASSERT_TRUE(waitUntil([&] { return !(link = app.qrOnScreen("ready")).empty(); }, 60s))
        << "no QR code on screen; log:\n"
        << app.log();
    // The token the agent stored where the app's environment told it; base64url needs no escapes.
    const std::string token = app.token();
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(link, "zel://mac-control?url=" + kAddress + "%2F%3Ftoken%3D" + token);
    const auto invocation = readJSON(app.tunnelInvocation());
    ASSERT_TRUE(invocation.is_object()) << "the tunnel client was not started";
    EXPECT_EQ(invocation["argv"], nlohmann::json({"tunnel", "--url", "http://127.0.0.1:8787"}));

    // The control service answers the secret that the helpers were handed, and only that (the
    // agent server's way there: the MCP end-to-end test).
    const std::string shotURL = invocation["env"].value("ZEL_AGENT_SCREENSHOT_URL", "");
    ASSERT_EQ(shotURL.rfind("http://127.0.0.1:8788/screenshot?secret=", 0), 0U) << shotURL;
    EXPECT_EQ(httpStatus(shotURL + "&format=png"), 200); // the X11 test decodes what it sends
    EXPECT_EQ(httpStatus("http://127.0.0.1:8788/screenshot?secret=wrong"), 403);

    // A crashed agent server is started again with the same token while the QR stays, three
    // times a minute; the fourth crash is shown as a failure and takes the QR and the tunnel.
    const std::string bearer = "Authorization: Bearer " + token;
    const pid_t tunnel = invocation.value("pid", 0);
    for (int crash = 1; crash <= 4; ++crash) {
        SCOPED_TRACE("crash " + std::to_string(crash));
        const bool restarted = crash < 4;
        const auto before = app.helpers();
        ASSERT_EQ(before.size(), 2U);
        const pid_t server = before[0] == tunnel ? before[1] : before[0];
        const std::size_t logged = app.log().size();
        const std::string line = std::string("Agent server ended (signal 9)") +
                                 (restarted ? "; restarting\n" : " too often; giving up\n");
        ::kill(server, SIGKILL);
        ASSERT_TRUE(
            waitUntil([&] { return app.log().find(line, logged) != std::string::npos; }, 20s))
            << app.log();
        if (restarted) {
            EXPECT_TRUE(waitUntil(
                [&] {
                    return httpStatus("http://127.0.0.1:8787/api/screenshot?width=320",
                                      {"-H", bearer}) == 200;
                },
                20s))
                << app.log();
            EXPECT_EQ(app.qrOnScreen("ready-after-restart"), link);
        }
    }

    // Each failure ends in its text without a QR and with no helper left; each press after one
    // starts anew (the stand-in is launched again). The first row is the crashes' end above.
    const fs::path release = app.dir.path() / "release";
    const struct {
        const char* mode; // the stand-in's, or "missing": no tunnel client at all
        const char* detail;
        bool announces;
        const char* logged; // the reason, in the log
    } rows[] = {
        {"", zel::kServerCrashedDetail, true, "too often; giving up\n"},
        {"missing", "缺少 cloudflared，请重新获取完整安装包。", false,
         "ERROR: 缺少 cloudflared，请重新获取完整安装包。\n"},
        {"no-such-host", zel::kTunnelFailedDetail, false,
         "lookup api.trycloudflare.com: no such host\nTunnel ended (exit status 1)\n"},
        {"dies-after-announce", zel::kTunnelLostDetail, true, "Tunnel ended (signal 9)\n"},
        {"never-announces", zel::kTunnelTimeoutDetail, false,
         "Tunnel announced no address within 3 s\n"},
    };
    pid_t previous = tunnel;
    std::size_t printed = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.mode);
        const bool missing = std::string_view(row.mode) == "missing";
        if (*row.mode != '\0') {
            printed = app.output().size();
            app.scriptTunnel(
                nlohmann::json{{"mode", row.mode}, {"release", release.string()}}.dump());
            if (missing) {
                fs::rename(app.bin / "cloudflared", app.dir.path() / "cloudflared");
            }
            ASSERT_TRUE(app.pressButton());
            ASSERT_TRUE(waitUntil([&] { return missing || tunnelPid(app) != previous; }, 30s))
                << "no new start; log:\n"
                << app.log();
            previous = tunnelPid(app);
            if (row.announces) {
                EXPECT_TRUE(
                    waitUntil([&] { return !app.qrOnScreen("tunnel-announced").empty(); }, 30s));
                std::ofstream(release).put('\n');
            }
        }
        ASSERT_TRUE(waitUntil(
            [&] {
                return app.output().find(failureLine(row.detail), printed) != std::string::npos;
            },
            30s))
            << app.output().substr(printed) << "\nlog:\n"
            << app.log();
        const std::string output = app.output().substr(printed);
        EXPECT_EQ(output.find("zel://") != std::string::npos, row.announces) << output;
        EXPECT_NE(app.log().find(row.logged), std::string::npos) << app.log();
        EXPECT_TRUE(waitUntil([&] { return app.helpers().empty(); }, 15s)) << "helpers remain";
        EXPECT_EQ(app.qrOnScreen(std::string("failed-") + row.mode), "");
        fs::remove(release);
        if (missing) {
            fs::rename(app.dir.path() / "cloudflared", app.bin / "cloudflared");
        }
    }
    EXPECT_FALSE(alive(tunnel));

    // A tunnel as it comes pairs again; SIGTERM then ends the app normally, and its helpers.
    app.scriptTunnel("");
    app.pressButton();
    ASSERT_TRUE(waitUntil([&] { return !app.qrOnScreen("ready-again").empty(); }, 60s));
    const auto again = app.helpers();
    EXPECT_EQ(again.size(), 2U);
    app.app->signal(SIGTERM);
    const auto status = app.app->waitFor(20s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    for (const pid_t helper : again) {
        EXPECT_TRUE(waitUntil([&] { return !alive(helper); }, 10s)) << "helper " << helper;
    }
}

} // namespace
