// The whole app as a user meets it: a private X server, the built app in a resource tree of its
// own, the real agent server and a stand-in tunnel client; the button pressed with xdotool and the
// QR code read off the screen. What the window says is read where the app prints it for a
// terminal, from the same change of the display. Screenshots are left in the build tree.
#include "app/display_model.hpp"
#include "tests/support/app_under_test.hpp"
#include "tests/support/command.hpp"

#include <algorithm>
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

struct Http {
    int status = 0;
    std::string body;
};

// curlOptions: headers, a body to post.
Http get(const std::string& url, std::vector<std::string> curlOptions = {}) {
    curlOptions.insert(curlOptions.begin(),
                       {"curl", "-s", "--max-time", "20", "-w", "\n%{http_code}", url});
    const std::string out = runCommand(curlOptions).output;
    const auto split = out.rfind('\n');
    return {std::atoi(out.c_str() + split + 1), out.substr(0, split)};
}

TEST(AppEndToEnd, PairCrashFailRestartAndQuitLeaveNothingRunning) {
    AppUnderTest app;
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

    // The control service answers the secret that the helpers were handed, and only that.
    const std::string shotURL = invocation["env"].value("ZEL_AGENT_SCREENSHOT_URL", "");
    ASSERT_EQ(shotURL.rfind("http://127.0.0.1:8788/screenshot?secret=", 0), 0U) << shotURL;
    const Http png = get(shotURL + "&format=png&width=640");
    EXPECT_EQ(png.status, 200);
    EXPECT_EQ(png.body.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(png.body.substr(16, 4), std::string("\0\0\x02\x80", 4)); // 640 wide
    EXPECT_EQ(get("http://127.0.0.1:8788/screenshot?secret=wrong").status, 403);

    // And the agent server, as the phone reaches it, gets a screen and moves the pointer.
    const std::string bearer = "Authorization: Bearer " + token;
    const Http jpeg =
        get("http://127.0.0.1:8787/api/screenshot?format=jpeg&width=480", {"-H", bearer});
    EXPECT_EQ(jpeg.status, 200);
    EXPECT_EQ(jpeg.body.substr(0, 2), "\xff\xd8");
    const Http moved = get("http://127.0.0.1:8787/api/input",
                           {"-H", bearer, "-H", "Content-Type: application/json", "--data-binary",
                            R"({"action":"move","coordinate":[500,500]})"});
    EXPECT_EQ(moved.status, 200) << moved.body;
    EXPECT_NE(moved.body.find("\"ok\":true"), std::string::npos) << moved.body;

    // A crashed agent server is started again with the same token while the QR stays, three
    // times a minute; the fourth crash is shown as a failure and takes the QR and the tunnel.
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
                    return get("http://127.0.0.1:8787/api/screenshot?width=320", {"-H", bearer})
                               .status == 200;
                },
                20s))
                << app.log();
            EXPECT_EQ(app.qrOnScreen("ready-after-restart"), link);
        } else {
            EXPECT_TRUE(waitUntil(
                [&] {
                    return app.output().find(failureLine(zel::kServerCrashedDetail)) !=
                           std::string::npos;
                },
                20s))
                << app.output();
            EXPECT_TRUE(waitUntil([&] { return app.helpers().empty(); }, 15s));
            EXPECT_FALSE(alive(tunnel));
            EXPECT_EQ(app.qrOnScreen("server-crashed"), "") << "a QR code after the failure";
        }
    }

    // Without the tunnel client a start fails with its message and ends the server it launched.
    fs::rename(app.bin / "cloudflared", app.dir.path() / "cloudflared");
    app.pressButton();
    const std::string failure = "ERROR: 缺少 cloudflared，请重新获取完整安装包。\n";
    ASSERT_TRUE(waitUntil([&] { return app.log().find(failure) != std::string::npos; }, 30s))
        << app.log();
    EXPECT_TRUE(waitUntil([&] { return app.helpers().empty(); }, 15s));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(app.qrOnScreen("failed"), "") << "a QR code is shown after a failure";

    fs::rename(app.dir.path() / "cloudflared", app.bin / "cloudflared");
    app.pressButton();
    ASSERT_TRUE(waitUntil([&] { return !app.qrOnScreen("ready-again").empty(); }, 60s));
    const auto again = app.helpers();
    EXPECT_EQ(again.size(), 2U);
    // SIGTERM ends the app normally, and its helpers with it.
    app.app->signal(SIGTERM);
    const auto status = app.app->waitFor(20s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    for (const pid_t helper : again) {
        EXPECT_TRUE(waitUntil([&] { return !alive(helper); }, 10s)) << "helper " << helper;
    }
}

TEST(AppEndToEnd, TunnelFailuresEndInAFailureTextWithoutQRAndANewStart) {
    // A tunnel that never announces gives up after 3 s instead of 30.
    zel::test::AppSetup setup;
    setup.environment = {"ZEL_TUNNEL_TIMEOUT=3"};
    const AppUnderTest app(setup);
    ASSERT_TRUE(waitUntil([&] { return !app.windowId().empty(); }, 30s)) << "no window";
    const fs::path release = app.dir.path() / "release";
    const struct {
        const char* mode;
        const char* detail;
        bool announces;
        const char* logged; // the reason, in the log
    } rows[] = {
        {"no-such-host", zel::kTunnelFailedDetail, false,
         "lookup api.trycloudflare.com: no such host\nTunnel ended (exit status 1)\n"},
        {"rate-limited", zel::kTunnelFailedDetail, false,
         "status_code=\"429 Too Many Requests\"\nTunnel ended (exit status 1)\n"},
        {"dies-after-announce", zel::kTunnelLostDetail, true, "Tunnel ended (signal 9)\n"},
        {"never-announces", zel::kTunnelTimeoutDetail, false,
         "Tunnel announced no address within 3 s\n"},
    };
    // Each press after a failure must start anew: the stand-in is launched again.
    pid_t previous = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.mode);
        app.scriptTunnel(nlohmann::json{{"mode", row.mode}, {"release", release.string()}}.dump());
        const std::size_t printed = app.output().size();
        ASSERT_TRUE(app.pressButton());
        ASSERT_TRUE(waitUntil([&] { return tunnelPid(app) != previous; }, 30s))
            << "no new start; log:\n"
            << app.log();
        previous = tunnelPid(app);
        if (row.announces) {
            EXPECT_TRUE(
                waitUntil([&] { return !app.qrOnScreen("tunnel-announced").empty(); }, 30s));
            std::ofstream(release).put('\n');
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
        EXPECT_EQ(app.qrOnScreen(std::string("tunnel-") + row.mode), "");
        fs::remove(release);
    }

    // A tunnel as it comes pairs again; the user's stop then ends both helpers.
    app.scriptTunnel("");
    app.pressButton();
    EXPECT_TRUE(waitUntil([&] { return !app.qrOnScreen("ready-after-failures").empty(); }, 60s));
    ASSERT_EQ(app.helpers().size(), 2U);
    app.pressButton();
    EXPECT_TRUE(waitUntil([&] { return app.helpers().empty(); }, 15s)) << "helpers after stop";
    EXPECT_FALSE(alive(tunnelPid(app)));
    EXPECT_EQ(app.qrOnScreen("stopped"), "");
}

} // namespace
