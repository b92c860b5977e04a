// The real app under a private X server: it stays up until told to quit, quits cleanly, also
// while a start hangs, a second start brings the first one's window back instead of running, and
// the X server's end ends it with its helpers.
#include "tests/support/app_under_test.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/terminal_output.hpp"
#include "tests/support/xvfb.hpp"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(AppLifecycle, RunsUntilSignalledThenExitsWithStatusZero) {
    const zel::test::Xvfb xvfb;
    const zel::test::TempDir state;
    const std::vector<std::string> env = {
        "DISPLAY=" + xvfb.display(), "XDG_STATE_HOME=" + state.path().string(),
        "XDG_RUNTIME_DIR=" + state.path().string(), "QT_QPA_PLATFORM=xcb"};
    for (const int quitSignal : {SIGTERM, SIGINT, SIGHUP}) {
        zel::test::Child app({ZEL_APP_BINARY}, env);
        // Still running after a while: it does not quit on its own.
        EXPECT_FALSE(app.waitFor(1500ms).has_value());

        // A closed window comes back when the app is started again, and the second start ends.
        const auto visible = [&] {
            return zel::test::runCommand(
                       {"xdotool", "search", "--onlyvisible", "--name", "^Zel Desktop Agent$"},
                       {"DISPLAY=" + xvfb.display()})
                .output;
        };
        const std::string window = visible();
        ASSERT_FALSE(window.empty());
        zel::test::runCommand(
            {"xdotool", "windowunmap", "--sync", window.substr(0, window.find('\n'))},
            {"DISPLAY=" + xvfb.display()});
        ASSERT_EQ(visible(), "");
        zel::test::Child second({ZEL_APP_BINARY}, env);
        const auto secondStatus = second.waitFor(20s);
        ASSERT_TRUE(secondStatus.has_value()) << "a second instance kept running";
        EXPECT_TRUE(WIFEXITED(*secondStatus) && WEXITSTATUS(*secondStatus) == 0);
        for (int i = 0; i < 100 && visible().empty(); ++i) {
            std::this_thread::sleep_for(100ms);
        }
        EXPECT_NE(visible(), "") << "the running app's window was not brought back";
        EXPECT_TRUE(app.running()) << "the second start disturbed the first";

        app.signal(quitSignal);
        const auto status = app.waitFor(20s);
        ASSERT_TRUE(status.has_value()) << "app did not quit on signal " << quitSignal;
        ASSERT_TRUE(WIFEXITED(*status)) << "raw status " << *status;
        EXPECT_EQ(WEXITSTATUS(*status), 0);
    }
}

TEST(AppLifecycle, QuitsDuringATokenQueryThatNeverEnds) {
    // A query stuck where it does not hear SIGTERM (a hung home directory, a blocked read).
    const zel::test::TempDir agent;
    std::filesystem::create_directories(agent.path() / "src");
    std::ofstream(agent.path() / "package.json") << R"({"type": "module"})";
    std::ofstream(agent.path() / "src/server.js") << "";
    std::ofstream(agent.path() / "src/config.js")
        << "process.on('SIGTERM', () => {});\n"
           "export const configDir = () => '';\n"
           "export const renewToken = () => "
           "Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0);\n";
    zel::test::AppSetup setup;
    setup.arguments = {"--start"};
    setup.agent = agent.path();
    zel::test::AppUnderTest app(setup);
    ASSERT_TRUE(zel::test::waitUntil([&] { return app.helpers().size() == 1; }, 30s))
        << "the token query did not start";
    const pid_t query = app.helpers().front();
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(zel::test::alive(query));

    // bench/quit_hanging_query.mjs measures how long it takes.
    app.app->signal(SIGTERM);
    const auto status = app.app->waitFor(10s);
    ASSERT_TRUE(status.has_value()) << "the quit hangs on the query";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "raw status " << *status;
    EXPECT_TRUE(zel::test::waitUntil([&] { return !zel::test::alive(query); }, 10s))
        << "the query outlived the app";
}

// Qt ends the process from inside its loop when the display goes; that used to segfault.
TEST(AppLifecycle, TheXServersEndEndsTheAppAndItsHelpersWithALogLine) {
    zel::test::AppSetup setup;
    setup.arguments = {"--start"};
    zel::test::AppUnderTest started(setup);
    ASSERT_TRUE(zel::test::waitUntil(
        [&] { return zel::test::lineStartingWith(started.output(), "zel://").has_value(); }, 60s))
        << started.output() << "\nlog:\n"
        << started.log();
    const std::vector<pid_t> helpers = started.helpers();
    ASSERT_EQ(helpers.size(), 2U) << "agent server and tunnel client";

    started.xvfb.stop();
    const auto status = started.app->waitFor(20s);
    ASSERT_TRUE(status.has_value()) << "the app outlived its X server";
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_NE(WEXITSTATUS(*status), 0);
    EXPECT_NE(started.log().find("The connection to the display was lost"), std::string::npos)
        << started.log();
    for (const pid_t helper : helpers) {
        EXPECT_TRUE(zel::test::waitUntil([&] { return zel::test::ended(helper); }, 10s))
            << "helper " << helper << " still runs";
    }
}

} // namespace
