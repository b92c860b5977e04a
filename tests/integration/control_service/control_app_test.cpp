// The app as a user starts it on an occupied port 8788. The end-to-end test drives the launched
// app's service, with its real work, through its secret.
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

TEST(ControlApp, AnOccupiedPortLogsOneLineAndTheAppWorksOn) {
    const int blocker = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0); // every address
    const int on = 1; // earlier connections in TIME_WAIT must not keep this one from binding
    ::setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in6 address{AF_INET6, htons(8788), 0, in6addr_any, 0};
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 4), 0);

    const zel::test::Xvfb xvfb;
    const zel::test::TempDir state;
    const auto suppressions = state.path() / "lsan.supp"; // the session bus library's own buffer
    std::ofstream(suppressions) << "leak:libdbus-1.so\n";
    zel::test::Child app({ZEL_APP_BINARY},
                         {"DISPLAY=" + xvfb.display(), "XDG_STATE_HOME=" + state.path().string(),
                          "XDG_RUNTIME_DIR=" + state.path().string(), "QT_QPA_PLATFORM=xcb",
                          "LSAN_OPTIONS=suppressions=" + suppressions.string()});
    const auto log = state.path() / "zel-desktop-agent" / "agent.log";
    for (int i = 0;
         i < 200 && !(std::filesystem::exists(log) && zel::test::readFile(log).ends_with("\n"));
         ++i) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_FALSE(app.waitFor(1s).has_value()); // still running
    EXPECT_EQ(zel::test::readFile(log),
              "Unable to start screenshot service: Address already in use\n");
    app.signal(SIGTERM);
    const auto status = app.waitFor(20s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    ::close(blocker);
}

} // namespace
