// The control service with its real work: the app as a user starts it on port 8788, and a service
// built with the app's own handlers under a private X server (real screenshots, real input). The
// app's secret never leaves its process, so requests that need it go to the in-process service.
#include "control_service/main_process_handlers.hpp"
#include "tests/integration/control_client.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <regex>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using zel::test::parseReply;
using zel::test::roundTrip;

constexpr std::uint16_t kPort = 8788;
const std::string kSecret = "6C1D2E3F-4A5B-4C6D-9E7F-8091A2B3C4D5";

std::string request(std::string_view target, std::string_view body = "") {
    return "POST " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" +
           std::string(body);
}

class ControlApp : public ::testing::Test {
protected:
    std::unique_ptr<zel::test::Child> launch() {
        // The session bus library keeps one buffer to the end: the system's, not the app's.
        const auto suppressions = state.path() / "lsan.supp";
        std::ofstream(suppressions) << "leak:libdbus-1.so\n";
        return std::make_unique<zel::test::Child>(
            std::vector<std::string>{ZEL_APP_BINARY},
            std::vector<std::string>{
                "DISPLAY=" + xvfb.display(), "XDG_STATE_HOME=" + state.path().string(),
                "XDG_RUNTIME_DIR=" + state.path().string(), "QT_QPA_PLATFORM=xcb",
                "LSAN_OPTIONS=suppressions=" + suppressions.string()});
    }
    [[nodiscard]] std::string log() const {
        const auto path = state.path() / "zel-desktop-agent" / "agent.log";
        return std::filesystem::exists(path) ? zel::test::readFile(path) : "";
    }
    bool waitForLog(std::string_view text) const {
        for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(100ms)) {
            if (log().find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    static void quit(zel::test::Child& app) {
        app.signal(SIGTERM);
        const auto status = app.waitFor(20s);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    }

    zel::test::Xvfb xvfb;
    zel::test::TempDir state;
};

TEST_F(ControlApp, TheLaunchedAppAnswersOnItsPortAndNeverLogsTheSecret) {
    auto app = launch();
    ASSERT_TRUE(waitForLog("Screenshot service listening on 127.0.0.1:8788\n"));
    EXPECT_EQ(parseReply(roundTrip(kPort, request("/input?secret=" + kSecret))).status,
              "403 Forbidden");
    EXPECT_EQ(parseReply(roundTrip(kPort, "\xff")).body, "Invalid request.");
    EXPECT_EQ(log(), "Screenshot service listening on 127.0.0.1:8788\n"
                     "Screenshot HTTP error: Invalid request.\n");
    EXPECT_FALSE(std::regex_search(log(), std::regex("[0-9A-F]{8}-[0-9A-F]{4}-")));
    quit(*app);
    EXPECT_THROW(zel::test::ControlClient client(kPort), std::system_error);
}

TEST_F(ControlApp, AnOccupiedPortLogsOneLineAndTheAppWorksOn) {
    const int blocker = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0); // every address
    const int on = 1; // earlier connections in TIME_WAIT must not keep this one from binding
    ::setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in6 address{AF_INET6, htons(kPort), 0, in6addr_any, 0};
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 4), 0);
    auto app = launch();
    ASSERT_TRUE(waitForLog("Unable to start screenshot service: "));
    EXPECT_FALSE(app->waitFor(1s).has_value()); // still running
    EXPECT_EQ(log(), "Unable to start screenshot service: Address already in use\n");
    quit(*app);
    ::close(blocker);
}

// The pixel size of a PNG (its IHDR chunk) or JPEG (its start-of-frame segment).
std::pair<int, int> imageSize(const std::string& image) {
    const auto be16 = [&](std::size_t i) {
        return (static_cast<unsigned char>(image.at(i)) << 8) |
               static_cast<unsigned char>(image.at(i + 1));
    };
    if (image.starts_with("\x89PNG")) {
        return {be16(18), be16(22)};
    }
    std::size_t i = 2;
    for (; i + 9 < image.size() && (image[i + 1] & 0xFC) != 0xC0; i += 2 + be16(i + 2)) {
    }
    return i + 9 < image.size() ? std::pair{be16(i + 7), be16(i + 5)} : std::pair{0, 0};
}

class ControlRealWork : public ::testing::Test {
protected:
    std::string ask(std::string_view path, std::string_view body = "") {
        const auto target =
            std::string(path) + (path.find('?') == std::string_view::npos ? "?" : "&") + "secret=";
        return roundTrip(service.port(), request(target + kSecret, body));
    }
    std::string pointer() {
        const auto out =
            zel::test::runCommand({"xdotool", "getmouselocation"}, {"DISPLAY=" + xvfb.display()});
        return out.output.substr(0, out.output.find(" screen"));
    }
    static zel::ControlServiceConfig config() {
        zel::ControlServiceConfig config;
        config.port = 0;
        config.secret = kSecret;
        config.handlers = zel::makeMainProcessHandlers();
        return config;
    }

    zel::test::Xvfb xvfb{1280, 800};
    zel::test::ScopedEnv display{"DISPLAY", xvfb.display().c_str()};
    zel::test::TempDir state;
    zel::test::ScopedEnv stateHome{"XDG_STATE_HOME", state.path().c_str()};
    zel::ScreenshotListener service{config()};
};

TEST_F(ControlRealWork, TakesRealScreenshots) {
    const std::tuple<const char*, const char*, std::pair<int, int>> cases[] = {
        {"/screenshot", "image/jpeg", {960, 600}},
        {"/screenshot?format=PNG&width=640", "image/png", {640, 400}},
    };
    for (const auto& [query, type, size] : cases) {
        SCOPED_TRACE(query);
        const auto reply = parseReply(ask(query));
        ASSERT_EQ(reply.status, "200 OK") << reply.body;
        EXPECT_EQ(reply.contentType, type);
        EXPECT_EQ(imageSize(reply.body), size);
    }
}

TEST_F(ControlRealWork, PerformsRealInput) {
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
