// The control service over real TCP with raw bytes, its routes' work faked (control_app_test runs
// the real capture and input): secret check, routing, the one read, error answers and log lines,
// concurrency, idle peers, descriptor exhaustion, binding.
#include "app/app_error.hpp"
#include "control_service/http_codec.hpp"
#include "control_service/screenshot_listener.hpp"
#include "supervisor/agent_log.hpp"
#include "tests/integration/control_client.hpp"
#include "tests/support/temp_dir.hpp"

#include <condition_variable>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <list>
#include <sys/resource.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using zel::test::ControlClient;
using zel::test::parseReply;
using zel::test::roundTrip;

const std::string kSecret = "0F6A1B2C-3D4E-4F50-8A61-72B3C4D5E6F7";
const std::string kForbidden = "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain; "
                               "charset=utf-8\r\nContent-Length: 9\r\nConnection: close\r\n\r\n"
                               "Forbidden";

const std::string kNoSecret = "GET / HTTP/1.1\r\n\r\n";

// A request whose target carries the right secret.
std::string request(std::string_view method, std::string target, std::string_view body = "") {
    target += (target.find('?') == std::string::npos ? "?secret=" : "&secret=") + kSecret;
    return std::string(method) + " " + target + " HTTP/1.1\r\nHost: h\r\n\r\n" + std::string(body);
}
zel::test::ParsedReply ask(std::uint16_t port, std::string_view method, std::string target,
                           std::string_view body = "") {
    return parseReply(roundTrip(port, request(method, std::move(target), body)));
}
zel::ControlServiceConfig configOn(std::uint16_t port) {
    zel::ControlServiceConfig config;
    config.port = port;
    config.secret = kSecret;
    return config;
}

class ControlService : public ::testing::Test {
protected:
    // Route work that records its input, can be held inside, and fails on request.
    std::unique_ptr<zel::ScreenshotListener> start(zel::ControlServiceConfig config = configOn(0)) {
        config.handlers.screenshot = [this](std::string_view format, int width, int quality) {
            std::unique_lock lock(mutex_);
            ++shots_;
            changed_.notify_all();
            // A second capture arriving while this one is held proves they run side by side.
            const bool together =
                changed_.wait_for(lock, waitForPartner ? 10s : 0s, [&] { return shots_ >= 2; });
            if (!screenshotError.empty()) {
                throw zel::AppError(screenshotError);
            }
            const auto text = std::string(format) + " " + std::to_string(width) + " " +
                              std::to_string(quality) + (waitForPartner && together ? " both" : "");
            return std::vector<std::uint8_t>(text.begin(), text.end());
        };
        config.handlers.input = [this](std::string_view body) {
            std::unique_lock lock(mutex_);
            bodies_.emplace_back(body);
            changed_.notify_all();
            changed_.wait(lock, [&] { return !inputHeld_; });
            if (!inputError.empty()) {
                throw std::runtime_error(inputError);
            }
            return nlohmann::json{{"ok", true}, {"bytes", body.size()}, {"width", 1920.0}};
        };
        return std::make_unique<zel::ScreenshotListener>(std::move(config));
    }
    bool inputEntered() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return !bodies_.empty(); });
    }
    void releaseInput() {
        const std::lock_guard lock(mutex_);
        inputHeld_ = false;
        changed_.notify_all();
    }
    std::vector<std::string> bodies() {
        const std::lock_guard lock(mutex_);
        return bodies_;
    }
    [[nodiscard]] static std::string log() {
        return std::filesystem::exists(zel::logURL()) ? zel::test::readFile(zel::logURL()) : "";
    }

    zel::test::TempDir state;
    zel::test::ScopedEnv stateHome{"XDG_STATE_HOME", state.path().c_str()};
    bool waitForPartner = false, inputHeld_ = false;
    std::string screenshotError, inputError;
    std::mutex mutex_;
    std::condition_variable changed_;
    int shots_ = 0;
    std::vector<std::string> bodies_;
};

TEST_F(ControlService, RefusesWrongSecretsUnloggedAndUnreadableRequestsLogged) {
    const auto service = start();
    const std::string invalid =
        "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/plain; charset=utf-8\r\n"
        "Content-Length: 16\r\nConnection: close\r\n\r\nInvalid request.";
    std::string lower = kSecret;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    const std::pair<std::string, const std::string&> cases[] = {
        {kNoSecret, kForbidden},
        {"POST /input?secret= HTTP/1.1\r\n\r\n{}", kForbidden},
        {"GET /?secret=" + lower + " HTTP/1.1\r\n\r\n", kForbidden},
        {"GET /?secret=" + kSecret.substr(0, 35) + " HTTP/1.1\r\n\r\n", kForbidden},
        {"GET /scr%zz?secret=" + kSecret + " HTTP/1.1\r\n\r\n", kForbidden},
        {"GET\r\n\r\n", kForbidden},
        {"GET /input?secret=" + kSecret + "\xc2\xa0 HTTP/1.1\r\n\r\n", kForbidden},
        {"\xff", invalid},
        {request("GET", "/\xc0\xaf"), invalid},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(roundTrip(service->port(), text), expected);
    }
    const ControlClient client(service->port()); // closes its side without a byte
    client.shutdownWrite();
    EXPECT_EQ(client.receiveAll(), invalid);
    EXPECT_EQ(log(), "Screenshot HTTP error: Invalid request.\n"
                     "Screenshot HTTP error: Invalid request.\n"
                     "Screenshot HTTP error: Invalid request.\n");
    EXPECT_TRUE(bodies().empty());
}

TEST_F(ControlService, RoutesByPathAloneWhateverTheMethod) {
    const auto service = start();
    const std::string json = "application/json; charset=utf-8 {\"bytes\":";
    const std::tuple<const char*, std::string, const char*, std::string> cases[] = {
        {"GET", "/screenshot", "", "image/jpeg jpeg 960 62"},
        {"POST", "/screenshot?format=PNG&width=1280", "x", "image/png png 1280 62"},
        {"DELETE", "/screenshot?width=99999&quality=0", "", "image/jpeg jpeg 2560 25"},
        {"GET", "/input/", "", "image/jpeg jpeg 960 62"},
        {"GET", "/INPUT", "", "image/jpeg jpeg 960 62"},
        {"GET", "/%69nput", "abc", json + R"(3,"ok":true,"width":1920})"},
        {"PUT", ":8788/input", "", json + R"(0,"ok":true,"width":1920})"},
    };
    for (const auto& [method, target, body, expected] : cases) {
        SCOPED_TRACE(target);
        const auto reply = ask(service->port(), method, target, body);
        EXPECT_EQ(reply.status + " " + reply.contentType + " " + reply.body, "200 OK " + expected);
    }
    EXPECT_EQ(bodies(), (std::vector<std::string>{"abc", ""}));
    EXPECT_EQ(log(), "");
}

TEST_F(ControlService, TurnsRouteFailuresIntoLogged500s) {
    screenshotError = "Timed out waiting for screen frame.";
    inputError = "Unsupported input action: Move";
    const auto service = start();
    const zel::ScreenshotListener bare(configOn(0)); // no work behind its routes
    const std::tuple<std::uint16_t, const char*, std::string> cases[] = {
        {service->port(), "/", "Main app screenshot failed: Timed out waiting for screen frame."},
        {service->port(), "/input", "Main app input failed: Unsupported input action: Move"},
        {bare.port(), "/", "Main app screenshot failed: Screen capture is not available."},
    };
    std::string expectedLog;
    for (const auto& [port, path, message] : cases) {
        const auto reply = ask(port, "GET", path);
        EXPECT_EQ(reply.status + " " + reply.contentType + " " + reply.body,
                  "500 Internal Server Error text/plain; charset=utf-8 " + message);
        expectedLog += "Screenshot HTTP error: " + message + "\n";
    }
    EXPECT_EQ(log(), expectedLog);
}

TEST_F(ControlService, SeesOnlyWhatTheOneReadDelivers) {
    const auto service = start();
    const auto head = request("POST", "/input");
    EXPECT_EQ(parseReply(roundTrip(service->port(), head + std::string(70'000 - head.size(), 'x')))
                  .status,
              "200 OK");
    ASSERT_EQ(bodies().size(), 1U);
    EXPECT_GT(bodies()[0].size(), 0U);
    EXPECT_LE(bodies()[0].size(), 65'536 - head.size());

    // Head first, body only once the service has answered the head: the body is never read.
    const ControlClient client(service->port());
    client.send(head);
    EXPECT_EQ(parseReply(client.receiveAll()).body, R"({"bytes":0,"ok":true,"width":1920})");
    client.send(R"({"action":"move"})");
    EXPECT_EQ(bodies().at(1), "");
}

TEST_F(ControlService, RunsTwoScreenshotsAtOnce) {
    waitForPartner = true;
    const auto service = start();
    const auto shot = [&] { return ask(service->port(), "GET", "/").body; };
    auto first = std::async(std::launch::async, shot);
    EXPECT_EQ(shot(), "jpeg 960 62 both");
    EXPECT_EQ(first.get(), "jpeg 960 62 both");
}

TEST_F(ControlService, HeldInputStallsNeitherScreenshotsNorTheListenerNorCancel) {
    inputHeld_ = true;
    auto config = configOn(0);
    config.networkThreads = 1; // input work on it would leave nothing to read the screenshot
    const auto service = start(config);
    auto input =
        std::async(std::launch::async, [&] { return ask(service->port(), "POST", "/input"); });
    ASSERT_TRUE(inputEntered());
    EXPECT_EQ(ask(service->port(), "GET", "/").body, "jpeg 960 62");
    EXPECT_EQ(input.wait_for(0s), std::future_status::timeout);

    // Cancelled: new peers are refused, the accepted one still gets its answer.
    service->cancel();
    bool refused = false;
    for (int attempt = 0; attempt < 200 && !refused; ++attempt) {
        try {
            const ControlClient late(service->port());
            std::this_thread::sleep_for(10ms);
        } catch (const std::system_error& error) {
            refused = error.code().value() == ECONNREFUSED;
        }
    }
    EXPECT_TRUE(refused);
    releaseInput();
    EXPECT_EQ(input.get().status, "200 OK");
}

TEST_F(ControlService, ClosesSilentPeersPlainlyAndOutlivesRunningOutOfDescriptors) {
    auto config = configOn(0);
    config.idleTimeout = 300ms;
    config.acceptPause = 20ms;
    const auto service = start(config);
    {
        const ControlClient silent(service->port());
        bool timedOut = true;
        EXPECT_EQ(silent.receiveAll(&timedOut), "");
        EXPECT_FALSE(timedOut);
    }
    // Fill the holes below the highest open descriptor, then leave 40 numbers free.
    int highest = 0;
    for (int fd = 0; fd < 4096; ++fd) {
        highest = ::fcntl(fd, F_GETFD) != -1 ? fd : highest;
    }
    std::vector<int> fillers{::open("/dev/null", O_RDONLY | O_CLOEXEC)};
    while (fillers.back() >= 0 && fillers.back() <= highest) {
        fillers.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    }
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    rlimit tight = original;
    tight.rlim_cur = static_cast<rlim_t>(highest) + 40;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    {
        // Each peer costs a descriptor here and one in the service: both meet the limit.
        std::list<ControlClient> peers;
        try {
            for (int i = 0; i < 60; ++i) {
                peers.emplace_back(service->port());
            }
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code().value(), EMFILE);
        }
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);
    for (const int fd : fillers) {
        ::close(fd);
    }
    EXPECT_EQ(roundTrip(service->port(), kNoSecret), kForbidden);
    EXPECT_EQ(log().find("Screenshot service failed"), std::string::npos);
}

TEST_F(ControlService, LogsStartOrTheOneReasonItCannotAndRestartsAtOnce) {
    auto service = zel::startScreenshotService(configOn(0));
    ASSERT_NE(service, nullptr);
    const auto port = service->port();
    const auto listening = "Screenshot service listening on 127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(log(), listening + "\n");
    EXPECT_EQ(zel::startScreenshotService(configOn(port)), nullptr);
    EXPECT_EQ(log(), listening + "\nUnable to start screenshot service: Address already in use\n");
    try {
        const ControlClient v6(port, AF_INET6);
        v6.send(kNoSecret);
        EXPECT_EQ(v6.receiveAll(), kForbidden);
    } catch (const std::system_error& error) {
        std::cerr << "no IPv6 loopback here: " << error.what() << "\n";
    }
    // The service closes first, leaving TIME_WAIT behind; a restart binds the port at once.
    EXPECT_EQ(roundTrip(port, kNoSecret), kForbidden);
    service.reset();
    service = zel::startScreenshotService(configOn(port));
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(roundTrip(port, kNoSecret), kForbidden);
}

} // namespace
