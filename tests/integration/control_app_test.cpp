// The control service with its real work: the app as a user starts it on port 8788 (answers,
// log lines, an occupied port), and a service built with the app's own handlers under a private
// X server, which takes real screenshots and posts real input. The app's secret is made fresh per
// launch and never leaves the process, so requests that need it go to the in-process service.
#include "control_service/main_process_handlers.hpp"
#include "supervisor/agent_log.hpp"
#include "tests/integration/control_client.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <array>
#include <cstdio>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using zel::test::parseReply;
using zel::test::roundTrip;

constexpr std::uint16_t kPort = 8788;
constexpr std::string_view kSecret = "6C1D2E3F-4A5B-4C6D-9E7F-8091A2B3C4D5";

std::string request(std::string_view target, std::string_view body = "") {
    return "POST " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" +
           std::string(body);
}

std::string readLog(const std::filesystem::path& stateHome) {
    const auto path = stateHome / "zel-desktop-agent" / "agent.log";
    return std::filesystem::exists(path) ? zel::test::readFile(path) : "";
}

// Waits for a log line rather than for a time: the app starts at its own pace.
bool waitForLog(const std::filesystem::path& stateHome, std::string_view text) {
    for (int i = 0; i < 200; ++i) {
        if (readLog(stateHome).find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

class ControlApp : public ::testing::Test {
protected:
    std::unique_ptr<zel::test::Child> launch() {
        // Under the sanitizer build the session bus library keeps one buffer to the end; that is
        // the system's, not the app's.
        const auto suppressions = state.path() / "lsan.supp";
        std::ofstream(suppressions) << "leak:libdbus-1.so\n";
        return std::make_unique<zel::test::Child>(
            std::vector<std::string>{ZEL_APP_BINARY},
            std::vector<std::string>{
                "DISPLAY=" + xvfb.display(), "XDG_STATE_HOME=" + state.path().string(),
                "XDG_RUNTIME_DIR=" + state.path().string(), "QT_QPA_PLATFORM=xcb",
                "LSAN_OPTIONS=suppressions=" + suppressions.string()});
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
    ASSERT_TRUE(waitForLog(state.path(), "Screenshot service listening on 127.0.0.1:8788\n"));
    EXPECT_EQ(parseReply(roundTrip(kPort, request("/screenshot"))).status, "403 Forbidden");
    EXPECT_EQ(parseReply(roundTrip(kPort, request("/input?secret=" + std::string(kSecret)))).status,
              "403 Forbidden");
    EXPECT_EQ(parseReply(roundTrip(kPort, "\xff")).body, "Invalid request.");
    const auto log = readLog(state.path());
    EXPECT_EQ(log, "Screenshot service listening on 127.0.0.1:8788\n"
                   "Screenshot HTTP error: Invalid request.\n");
    EXPECT_FALSE(std::regex_search(log, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-")));
    quit(*app);
    EXPECT_THROW(zel::test::ControlClient client(kPort), std::system_error);
}

TEST_F(ControlApp, AnOccupiedPortLogsOneLineAndTheAppWorksOn) {
    // A plain listener holding the port on every address, as another program would.
    const int blocker = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(blocker, 0);
    const int on = 1; // past connections in TIME_WAIT must not keep this one from binding
    ::setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(kPort);
    address.sin6_addr = in6addr_any;
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 4), 0);

    auto app = launch();
    ASSERT_TRUE(waitForLog(state.path(), "Unable to start screenshot service: "));
    EXPECT_FALSE(app->waitFor(1s).has_value()); // still running
    EXPECT_EQ(readLog(state.path()),
              "Unable to start screenshot service: Address already in use\n");
    quit(*app);
    ::close(blocker);
}

// Reads the pixel size of a JPEG (its start-of-frame segment) or PNG (its IHDR chunk).
std::pair<int, int> imageSize(const std::string& image) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(image.at(i)); };
    if (image.starts_with("\x89PNG\r\n\x1a\n")) {
        const auto be32 = [&](std::size_t i) {
            return (byte(i) << 24) | (byte(i + 1) << 16) | (byte(i + 2) << 8) | byte(i + 3);
        };
        return {be32(16), be32(20)};
    }
    std::size_t i = 2;
    while (i + 9 < image.size() && byte(i) == 0xFF) {
        const int marker = byte(i + 1);
        if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) {
            return {(byte(i + 7) << 8) | byte(i + 8), (byte(i + 5) << 8) | byte(i + 6)};
        }
        i += 2 + static_cast<std::size_t>((byte(i + 2) << 8) | byte(i + 3));
    }
    return {0, 0};
}

std::string pointerLocation(const std::string& display) {
    const std::string command = "DISPLAY=" + display + " xdotool getmouselocation 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::array<char, 256> buffer{};
    std::string out;
    while (pipe && std::fgets(buffer.data(), buffer.size(), pipe.get()) != nullptr) {
        out += buffer.data();
    }
    return out.substr(0, out.find(" screen"));
}

class ControlRealWork : public ::testing::Test {
protected:
    void SetUp() override {
        zel::ControlServiceConfig config;
        config.port = 0;
        config.secret = std::string(kSecret);
        config.handlers = zel::makeMainProcessHandlers();
        service = std::make_unique<zel::ScreenshotListener>(std::move(config));
    }
    std::string target(std::string_view path) const {
        return std::string(path) + (path.find('?') == std::string_view::npos ? "?" : "&") +
               "secret=" + std::string(kSecret);
    }

    zel::test::Xvfb xvfb{1280, 800};
    zel::test::ScopedEnv display{"DISPLAY", xvfb.display().c_str()};
    zel::test::TempDir state;
    zel::test::ScopedEnv stateHome{"XDG_STATE_HOME", state.path().c_str()};
    std::unique_ptr<zel::ScreenshotListener> service;
};

struct ShotCase {
    const char* query;
    const char* contentType;
    std::pair<int, int> size;
};

TEST_F(ControlRealWork, TakesRealScreenshots) {
    const ShotCase cases[] = {
        {"/screenshot", "image/jpeg", {960, 600}},
        {"/screenshot?format=PNG&width=640", "image/png", {640, 400}},
        // The width is clamped to 2560 and the stream is made at that width.
        {"/favicon.ico?width=5000&quality=90", "image/jpeg", {2560, 1600}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        const auto reply = parseReply(roundTrip(service->port(), request(target(c.query))));
        ASSERT_EQ(reply.status, "200 OK") << reply.body;
        EXPECT_EQ(reply.contentType, c.contentType);
        EXPECT_EQ(imageSize(reply.body), c.size);
    }
    // Two at once, each from its own capture.
    const auto shot = [&] { return parseReply(roundTrip(service->port(), request(target("/")))); };
    auto first = std::async(std::launch::async, shot);
    auto second = std::async(std::launch::async, shot);
    EXPECT_EQ(imageSize(first.get().body), std::make_pair(960, 600));
    EXPECT_EQ(imageSize(second.get().body), std::make_pair(960, 600));
}

TEST_F(ControlRealWork, PerformsRealInput) {
    const auto moved = parseReply(roundTrip(
        service->port(), request(target("/input"), R"({"action":"move","coordinate":[250,750]})")));
    ASSERT_EQ(moved.status, "200 OK") << moved.body;
    EXPECT_EQ(moved.contentType, "application/json; charset=utf-8");
    EXPECT_EQ(nlohmann::json::parse(moved.body),
              nlohmann::json::parse(R"({"ok":true,"action":"move",
                  "display":{"x":0,"y":0,"width":1280,"height":800}})"));
    EXPECT_EQ(moved.body.find(".0"), std::string::npos) << moved.body;
    EXPECT_EQ(pointerLocation(xvfb.display()), "x:320 y:600");

    // A drag and a screenshot side by side both complete.
    auto drag = std::async(std::launch::async, [&] {
        return parseReply(roundTrip(
            service->port(),
            request(target("/%69nput"), R"({"action":"drag","from":[100,100],"to":[900,900]})")));
    });
    EXPECT_EQ(parseReply(roundTrip(service->port(), request(target("/")))).status, "200 OK");
    EXPECT_EQ(drag.get().status, "200 OK");
    EXPECT_EQ(pointerLocation(xvfb.display()), "x:1152 y:720");

    const auto empty = parseReply(roundTrip(service->port(), request(target("/input"))));
    EXPECT_EQ(empty.status, "500 Internal Server Error");
    EXPECT_TRUE(empty.body.starts_with("Main app input failed: ")) << empty.body;
    const auto unknown =
        parseReply(roundTrip(service->port(), request(target("/input"), R"({"action":"Move"})")));
    EXPECT_EQ(unknown.body, "Main app input failed: Unsupported input action: Move");
    EXPECT_NE(zel::test::readFile(zel::logURL())
                  .find("Screenshot HTTP error: Main app input failed: Unsupported input action: "
                        "Move\n"),
              std::string::npos);
}

} // namespace
