// The control service with its real work: the app as a user starts it on an occupied port 8788,
// and a service built with the app's own handlers under a private X server. The end-to-end test
// drives the launched app's service with its secret.
#include "app/platform_desktop.hpp"
#include "tests/support/command.hpp"
#include "tests/support/control_client.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

const std::string kSecret = "6C1D2E3F-4A5B-4C6D-9E7F-8091A2B3C4D5";

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

TEST(ControlRealWork, ScreenshotAndDragSideBySide) {
    zel::test::Xvfb xvfb{1280, 800};
    const zel::test::ScopedEnv display{"DISPLAY", xvfb.display().c_str()};
    const zel::test::TempDir state;
    const zel::test::ScopedEnv stateHome{"XDG_STATE_HOME", state.path().c_str()};
    const zel::ControlService service(
        {.port = 0,
         .secret = kSecret,
         .handlers = zel::controlHandlers(zel::makePlatformDesktop())});
    const auto ask = [&](const std::string& target, std::string_view body = "") {
        return zel::test::parseReply(
            zel::test::roundTrip(service.port(), "POST " + target + "secret=" + kSecret +
                                                     " HTTP/1.1\r\n\r\n" + std::string(body)));
    };

    auto drag = std::async(std::launch::async, [&] {
        return ask("/input?", R"({"action":"drag","from":[100,100],"to":[900,900]})").status;
    });
    // Width and quality reach the capture in their places: the PNG is 640 wide.
    const auto png = ask("/screenshot?format=PNG&width=640&");
    ASSERT_EQ(png.status + " " + png.contentType, "200 OK image/png") << png.body;
    EXPECT_EQ(png.body.substr(16, 8), std::string("\0\0\x02\x80\0\0\x01\x90", 8)); // 640 x 400
    EXPECT_EQ(drag.get(), "200 OK");
    const auto pointer =
        zel::test::runCommand({"xdotool", "getmouselocation"}, {"DISPLAY=" + xvfb.display()});
    EXPECT_EQ(pointer.output.substr(0, pointer.output.find(" screen")), "x:1152 y:720");
}

} // namespace
