// The real app under a private X server: it stays up until told to quit, quits cleanly, also
// while a start hangs, an occupied port 8788 costs one log line and nothing else, and the X
// server's end ends it with its helpers. Started with --start, it prints the pairing link as a QR
// code a terminal shows.
#include "app/pairing.hpp"
#include "tests/support/app_under_test.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/terminal_output.hpp"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

// The app quits on `quitSignal` within 20 s with status 0.
void expectCleanQuit(zel::test::Child& app, int quitSignal) {
    app.signal(quitSignal);
    const auto status = app.waitFor(20s);
    ASSERT_TRUE(status.has_value()) << "app did not quit on signal " << quitSignal;
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "raw status " << *status;
}

TEST(AppLifecycle, RunsOnAnOccupiedPortUntilSignalledThenExitsWithStatusZero) {
    // Port 8788 taken on every address; earlier connections in TIME_WAIT must not keep this
    // socket from binding.
    const int blocker = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const std::shared_ptr<void> closed(nullptr, [blocker](void*) { ::close(blocker); });
    const int on = 1;
    ::setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in6 address{AF_INET6, htons(8788), 0, in6addr_any, 0};
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 4), 0);
    for (const int quitSignal : {SIGTERM, SIGINT, SIGHUP}) {
        zel::test::AppSetup setup; // the session bus library's buffer:
        setup.environment = {"LSAN_OPTIONS=suppressions=" ZEL_SOURCE_DIR "/tests/lsan.supp"};
        zel::test::AppUnderTest app(setup);
        // Signalled once its window shows: before that, a signal's default action applies.
        ASSERT_TRUE(zel::test::waitUntil([&] { return !app.windowId().empty(); }, 30s));
        // Still running after a while: it does not quit on its own.
        EXPECT_FALSE(app.app->waitFor(1500ms).has_value());
        expectCleanQuit(*app.app, quitSignal);
        EXPECT_EQ(app.log(), "Unable to start control service: Address already in use\n");
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
    ASSERT_FALSE(zel::test::ended(query));

    // bench/quit_hanging_query.mjs measures how long it takes.
    expectCleanQuit(*app.app, SIGTERM);
    EXPECT_TRUE(zel::test::waitUntil([&] { return zel::test::ended(query); }, 10s))
        << "the query outlived the app";
}

// The pairing printed on the terminal of a machine without a monitor decodes; then the end of
// the X server ends the app (Qt quits from inside its loop: that used to segfault) and its helpers.
TEST(AppLifecycle, PrintsThePairingAsATerminalQRAndEndsWithTheXServer) {
    zel::test::AppSetup setup;
    setup.arguments = {"--start"}; // nobody presses the button
    setup.terminal = true;
    zel::test::AppUnderTest started(setup);
    std::optional<std::string> link;
    ASSERT_TRUE(zel::test::waitUntil(
        [&] {
            return (link = zel::test::lineStartingWith(started.output(), "zel://")).has_value();
        },
        60s))
        << started.output() << "\nlog:\n"
        << started.log();
    // The window's code, read off the screen, is checked against the same link end to end.
    EXPECT_EQ(*link, zel::makePairingLink("https://gentle-river-mosaic-lantern.trycloudflare.com",
                                          started.token()));
    const std::string output = started.output();
    EXPECT_EQ(zel::test::decodeTerminalQR(zel::test::terminalQRLines(output),
                                          started.dir.path() / "terminal.pgm"),
              *link)
        << output;
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
