// The whole connection through the controller with real node over a test agent tree and the
// stand-in tunnel client: token query outcomes, the grace period, missing helpers, tunnel output,
// stop order, a racing second start and a stop during the start.
#include "supervisor_connection_fixture.hpp"

#include <span>
#include <thread>

namespace {

using namespace std::chrono_literals;
using zel::test::ConnectionFixture;
using zel::test::readFile;

class Connection : public ConnectionFixture {};

TEST_F(Connection, StartWalksToReadyWithTheAnnouncedAddressAndStopLeavesNoHelper) {
    writeAgent(R"(return { token: 'tok-123' };)", "");
    app->toggleConnection();
    ASSERT_TRUE(waitForStatus(zel::kReadyStatus));

    // Starting, server step, tunnel step, Ready: in this order.
    std::vector<std::string> seen;
    for (const auto& [model, postedAt] : std::span(renders).subspan(1)) {
        const std::string step =
            model.buttonTitle == "开启中..." && model.statusText == zel::kIdleStatus
                ? "starting"
                : model.statusText;
        if (seen.empty() || seen.back() != step) {
            seen.push_back(step);
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"starting", zel::kServerStepStatus,
                                              zel::kTunnelStepStatus, zel::kReadyStatus}));
    EXPECT_EQ(app->display.buttonTitle, "关闭");
    EXPECT_TRUE(app->display.buttonEnabled);
    EXPECT_FALSE(app->display.qrHidden);

    std::shared_ptr<zel::HelperProcess> server;
    std::shared_ptr<zel::HelperProcess> tunnel;
    {
        const std::lock_guard lock(app->stateMutex);
        EXPECT_EQ(app->token, "tok-123");
        EXPECT_EQ(app->zelURL, "zel://mac-control?url=https%3A%2F%2Fgentle-river-mosaic-lantern."
                               "trycloudflare.com%2F%3Ftoken%3Dtok-123");
        EXPECT_EQ(app->display.qrImage, zel::makeQRCode(app->zelURL));
        server = app->serverProcess;
        tunnel = app->tunnelProcess;
    }

    // Command lines, directories and the exact environment of both helpers.
    const auto expectedEnv = environmentJson();
    const auto tunnelRun = readJson(bin / "cloudflared.invocation");
    EXPECT_EQ(tunnelRun["argv"], nlohmann::json({"tunnel", "--url", "http://127.0.0.1:8787"}));
    EXPECT_EQ(tunnelRun["cwd"], std::filesystem::current_path().string());
    EXPECT_EQ(tunnelRun["env"], expectedEnv);
    const auto serverRun = readJson(agent / "server.json");
    EXPECT_EQ(serverRun["argv"],
              nlohmann::json({(std::filesystem::canonical(agent) / "src/server.js").string()}));
    EXPECT_EQ(serverRun["cwd"], std::filesystem::canonical(agent).string());
    EXPECT_EQ(serverRun["env"], expectedEnv);

    const std::string log = readFile(zel::logURL());
    EXPECT_EQ(log.rfind("Starting Zel Desktop Agent UI\ntok-123\n", 0), 0U) << log;
    EXPECT_NE(log.find("[agent] agent listening\n"), std::string::npos) << log;
    EXPECT_NE(log.find("|  https://gentle-river-mosaic-lantern.trycloudflare.com"),
              std::string::npos);

    app->toggleConnection();
    EXPECT_TRUE(app->zelURL.empty());
    ASSERT_TRUE(tunnel->terminateRequestedAt() && server->terminateRequestedAt());
    EXPECT_LT(*tunnel->terminateRequestedAt(), *server->terminateRequestedAt()) << "tunnel first";
    EXPECT_TRUE(gone(server->pid()));
    EXPECT_TRUE(gone(tunnel->pid()));
    ASSERT_TRUE(waitForStatus(zel::kIdleStatus));
    EXPECT_EQ(app->display.buttonTitle, "开启");
    EXPECT_TRUE(app->display.qrHidden);
    EXPECT_EQ(app->token, "tok-123");
    EXPECT_TRUE(waitForLog("[agent] agent stopping\n"));
}

TEST_F(Connection, TokenQueryOutcomes) {
    struct Case {
        const char* name;
        std::string config; // body of loadConfig before it returns
        std::optional<std::string> token;
        std::string failure;
    };
    const Case cases[] = {
        {"token and a line end", R"(return { token: 'tok-123' };)", "tok-123", ""},
        {"blank lines only", R"(return { token: '\n' };)", "", ""},
        {"warning on stderr joins the token",
         R"(console.warn('Warning: old flag'); return { token: 'tok-123' };)",
         "Warning: old flag\ntok-123", ""},
        {"fails with output", R"(process.stderr.write('  config broken\n'); process.exit(3);)",
         std::nullopt, "config broken"},
        {"fails without output", R"(process.exit(1);)", std::nullopt, "命令执行失败。"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeAgent(c.config, "");
        renders.clear();
        app->toggleConnection();
        if (c.token) {
            ASSERT_TRUE(waitForNewState(zel::kReadyStatus));
            const std::lock_guard lock(app->stateMutex);
            EXPECT_EQ(app->token, *c.token);
            EXPECT_EQ(app->zelURL,
                      zel::makePairingLink("https://gentle-river-mosaic-lantern.trycloudflare.com",
                                           *c.token));
        } else {
            ASSERT_TRUE(waitForNewState(zel::kFailedStatus));
            EXPECT_EQ(app->display.detailText, c.failure);
            EXPECT_EQ(app->display.buttonTitle, "开启");
            EXPECT_FALSE(std::filesystem::exists(agent / "server.json")) << "server launched";
            EXPECT_NE(readFile(zel::logURL()).find("ERROR: " + c.failure + "\n"),
                      std::string::npos);
        }
        app->stopProcesses();
        waitForStatus(c.token ? zel::kIdleStatus : zel::kFailedStatus);
        std::filesystem::remove(agent / "server.json");
    }
}

TEST_F(Connection, ServerEndingWithinTheGracePeriodFailsOnlyAfterTheWholePeriod) {
    writeAgent(R"(return { token: 'tok' };)", "setTimeout(() => process.exit(1), 500);");
    app->toggleConnection();
    ASSERT_TRUE(waitForStatus(zel::kFailedStatus));
    EXPECT_EQ(app->display.detailText, "本机服务启动失败，请重新打开应用。");
    const auto serverStep = postTimeOf(zel::kServerStepStatus);
    const auto failed = postTimeOf(zel::kFailedStatus);
    ASSERT_TRUE(serverStep && failed);
    EXPECT_GE(*failed - *serverStep, 1200ms);
    EXPECT_FALSE(std::filesystem::exists(bin / "cloudflared.invocation")) << "tunnel launched";
    const std::lock_guard lock(app->stateMutex);
    EXPECT_EQ(app->serverProcess, nullptr);
    EXPECT_EQ(app->tunnelProcess, nullptr);
}

TEST_F(Connection, ServerEndingAfterTheGracePeriodIsNotNoticed) {
    writeAgent(R"(return { token: 'tok' };)", "setTimeout(() => process.exit(1), 2000);");
    app->toggleConnection();
    EXPECT_TRUE(waitForStatus(zel::kReadyStatus));
}

TEST_F(Connection, MissingHelpersFailWithTheirMessagesAndLeaveNothingRunning) {
    writeAgent(R"(return { token: 'tok' };)", "");
    std::filesystem::remove(bin / "node");
    app->toggleConnection();
    ASSERT_TRUE(waitForStatus(zel::kFailedStatus));
    EXPECT_EQ(app->display.detailText, "缺少 node，请重新获取完整安装包。");
    EXPECT_FALSE(std::filesystem::exists(agent / "queries"));

    std::filesystem::create_symlink("/usr/bin/node", bin / "node");
    std::filesystem::remove(bin / "cloudflared");
    app->toggleConnection();
    ASSERT_TRUE(waitForDetail("缺少 cloudflared，请重新获取完整安装包。"));
    EXPECT_EQ(app->display.statusText, zel::kFailedStatus);
    // The server had been launched; the failure terminated it again.
    EXPECT_TRUE(gone(readJson(agent / "server.json")["pid"].get<pid_t>()));
    const std::lock_guard lock(app->stateMutex);
    EXPECT_EQ(app->serverProcess, nullptr);
}

TEST_F(Connection, TunnelOutputIsLoggedVerbatimAndEveryWholeAddressRebuildsTheLink) {
    writeAgent(R"(return { token: 'tok' };)", "");
    const auto hold = dir.path() / "hold";
    writeScenario({"INF |  https://first-half-of-addr", "ess.trycloudflare.com  |\n",
                   "INF https://other.example.com and https://x.trycloudflare.net\n",
                   "checkpoint\n", nlohmann::json{{"waitFile", hold.string()}},
                   "two: https://a1.trycloudflare.com https://a2.trycloudflare.com\n",
                   "later: https://b-2.trycloudflare.com/\n"});
    app->toggleConnection();
    // Every chunk before the checkpoint has been handled: none held a whole address.
    ASSERT_TRUE(waitForLog("checkpoint\n"));
    ASSERT_TRUE(waitForStatus(zel::kTunnelStepStatus));
    EXPECT_TRUE(app->zelURL.empty());
    std::ofstream(hold).put('\n');
    ASSERT_TRUE(waitForLog("later: https://b-2.trycloudflare.com/\n"));
    ASSERT_TRUE(waitForStatus(zel::kReadyStatus));
    const std::lock_guard lock(app->stateMutex);
    EXPECT_EQ(app->zelURL, zel::makePairingLink("https://b-2.trycloudflare.com", "tok"));
    EXPECT_EQ(app->display.qrImage, zel::makeQRCode(app->zelURL));
    EXPECT_EQ(readFile(zel::logURL()).find("[cloudflared]"), std::string::npos);
}

TEST_F(Connection, AddressWrittenWhileStoppingStillReachesTheDisplay) {
    // The output handler stays after a stop: a late address shows Ready, as designed.
    writeAgent(R"(return { token: 'tok' };)", "");
    writeScenario({"nothing yet\n"}, "bye https://late.trycloudflare.com\n");
    app->toggleConnection();
    ASSERT_TRUE(waitForStatus(zel::kTunnelStepStatus));
    ASSERT_TRUE(waitForLog("nothing yet\n"));
    app->toggleConnection();
    ASSERT_TRUE(waitForLog("bye https://late.trycloudflare.com\n"));
    ASSERT_TRUE(waitForStatus(zel::kReadyStatus));
    EXPECT_EQ(app->zelURL, zel::makePairingLink("https://late.trycloudflare.com", "tok"));
}

TEST_F(Connection, SecondStartRacingTheFirstIsIgnored) {
    writeAgent(R"(return { token: 'tok' };)", "");
    std::thread other([this] { app->toggleConnection(); });
    app->startConnection();
    app->toggleConnection();
    other.join();
    ASSERT_TRUE(waitForStatus(zel::kReadyStatus));
    app->startConnection(); // helpers run: ignored
    EXPECT_EQ(readFile(agent / "queries"), "query\n");
    EXPECT_EQ(readFile(agent / "servers"), "server\n");
}

TEST_F(Connection, QuitDuringTheGracePeriodEndsTheStartWithoutErrorOrHelper) {
    writeAgent(R"(return { token: 'tok' };)", "");
    app->toggleConnection();
    while (!std::filesystem::exists(agent / "server.json")) {
        std::this_thread::sleep_for(5ms);
    }
    app->applicationWillTerminate();
    app.reset(); // joins the start sequence; its queued items are never run
    EXPECT_TRUE(gone(readJson(agent / "server.json")["pid"].get<pid_t>()));
    EXPECT_FALSE(std::filesystem::exists(bin / "cloudflared.invocation"));
    EXPECT_EQ(readFile(zel::logURL()).find("ERROR"), std::string::npos);
}

} // namespace
