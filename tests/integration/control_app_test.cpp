// The control service with its real work: the app as a user starts it on an occupied port 8788,
// and a service built with the app's own handlers under a private X server (real screenshots, real
// input). The end-to-end test drives the launched app's service with its secret.
#include "control_service/main_process_handlers.hpp"
#include "tests/integration/control_client.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using zel::test::parseReply;
using zel::test::roundTrip;

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

TEST(ControlRealWork, TakesRealScreenshotsAndPerformsRealInput) {
    zel::test::Xvfb xvfb{1280, 800};
    const zel::test::ScopedEnv display{"DISPLAY", xvfb.display().c_str()};
    const zel::test::TempDir state;
    const zel::test::ScopedEnv stateHome{"XDG_STATE_HOME", state.path().c_str()};
    zel::ControlServiceConfig config;
    config.port = 0;
    config.secret = kSecret;
    config.handlers = zel::makeMainProcessHandlers();
    const zel::ScreenshotListener service(std::move(config));
    const auto ask = [&](std::string target, std::string_view body = "") {
        target += (target.find('?') == std::string::npos ? "?secret=" : "&secret=") + kSecret;
        return roundTrip(service.port(),
                         "POST " + target + " HTTP/1.1\r\n\r\n" + std::string(body));
    };
    const auto pointer = [&] {
        const auto out =
            zel::test::runCommand({"xdotool", "getmouselocation"}, {"DISPLAY=" + xvfb.display()});
        return out.output.substr(0, out.output.find(" screen"));
    };
    const auto png = parseReply(ask("/screenshot?format=PNG&width=640"));
    ASSERT_EQ(png.status + " " + png.contentType, "200 OK image/png") << png.body;
    EXPECT_EQ(png.body.substr(16, 8), std::string("\0\0\x02\x80\0\0\x01\x90", 8)); // 640 x 400

    EXPECT_EQ(ask("/input", R"({"action":"move","coordinate":[250,750]})"),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
              "Content-Length: 77\r\nConnection: close\r\n\r\n"
              R"({"action":"move","display":{"height":800,"width":1280,"x":0,"y":0},"ok":true})");
    EXPECT_EQ(pointer(), "x:320 y:600");

    // A drag and a screenshot side by side both complete.
    auto drag = std::async(std::launch::async, [&] {
        return ask("/%69nput", R"({"action":"drag","from":[100,100],"to":[900,900]})");
    });
    EXPECT_EQ(parseReply(ask("/")).status, "200 OK");
    EXPECT_EQ(parseReply(drag.get()).status, "200 OK");
    EXPECT_EQ(pointer(), "x:1152 y:720");
}

} // namespace
