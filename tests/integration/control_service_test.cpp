// The control service over real TCP with raw bytes: secret check, routing, the one bounded read,
// error answers and their log lines, concurrency of captures and inputs, idle peers, descriptor
// exhaustion, binding. The routes' work is faked here; the real capture and input are exercised
// in control_app_test.
#include "app/app_error.hpp"
#include "control_service/http_codec.hpp"
#include "control_service/screenshot_listener.hpp"
#include "supervisor/agent_log.hpp"
#include "tests/integration/control_client.hpp"
#include "tests/support/temp_dir.hpp"

#include <algorithm>
#include <condition_variable>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <list>
#include <mutex>
#include <stdexcept>
#include <sys/resource.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using zel::test::ControlClient;
using zel::test::parseReply;
using zel::test::roundTrip;

constexpr std::string_view kSecret = "0F6A1B2C-3D4E-4F50-8A61-72B3C4D5E6F7";

// Route work that records what it was given, can be held inside, and can fail on request.
class FakeWork {
public:
    zel::ControlHandlers handlers() {
        return {
            [this](std::string_view format, int width, int quality) {
                std::unique_lock lock(mutex_);
                ++screenshotsArrived_;
                changed_.notify_all();
                // Seeing a second capture arrive while this one is held proves they run side
                // by side.
                const bool together = changed_.wait_for(lock, waitForPartner ? 10s : 0s,
                                                        [&] { return screenshotsArrived_ >= 2; });
                if (!screenshotError.empty()) {
                    throw zel::AppError(screenshotError);
                }
                const std::string text = std::string(format) + " " + std::to_string(width) + " " +
                                         std::to_string(quality) +
                                         (waitForPartner && together ? " together" : "");
                return std::vector<std::uint8_t>(text.begin(), text.end());
            },
            [this](std::string_view body) {
                std::unique_lock lock(mutex_);
                inputBodies_.emplace_back(body);
                inputEntered_ = true;
                changed_.notify_all();
                changed_.wait(lock, [&] { return inputReleased_; });
                if (!inputError.empty()) {
                    throw std::runtime_error(inputError);
                }
                return nlohmann::json{{"ok", true}, {"bytes", body.size()}, {"width", 1920.0}};
            },
        };
    }

    void holdInput() {
        const std::lock_guard lock(mutex_);
        inputReleased_ = false;
    }
    bool waitUntilInputEntered() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return inputEntered_; });
    }
    void releaseInput() {
        const std::lock_guard lock(mutex_);
        inputReleased_ = true;
        changed_.notify_all();
    }
    std::vector<std::string> bodies() {
        const std::lock_guard lock(mutex_);
        return inputBodies_;
    }

    bool waitForPartner = false;
    std::string screenshotError;
    std::string inputError;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int screenshotsArrived_ = 0;
    bool inputEntered_ = false;
    bool inputReleased_ = true;
    std::vector<std::string> inputBodies_;
};

// A service with no work behind its routes.
zel::ControlServiceConfig bareConfig(std::uint16_t port) {
    zel::ControlServiceConfig config;
    config.port = port;
    config.secret = std::string(kSecret);
    return config;
}

class ControlService : public ::testing::Test {
protected:
    std::unique_ptr<zel::ScreenshotListener> start(zel::ControlServiceConfig config = {}) {
        config.port = 0;
        config.secret = std::string(kSecret);
        config.handlers = work.handlers();
        return std::make_unique<zel::ScreenshotListener>(std::move(config));
    }

    [[nodiscard]] std::string log() const {
        const auto path = zel::logURL();
        return std::filesystem::exists(path) ? zel::test::readFile(path) : "";
    }

    static std::string request(std::string_view method, std::string_view target,
                               std::string_view body = "") {
        return std::string(method) + " " + std::string(target) +
               " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" + std::string(body);
    }
    static std::string withSecret(std::string_view target) {
        return std::string(target) + (target.find('?') == std::string_view::npos ? "?" : "&") +
               "secret=" + std::string(kSecret);
    }

    zel::test::TempDir state;
    zel::test::ScopedEnv stateHome{"XDG_STATE_HOME", state.path().c_str()};
    FakeWork work;
};

TEST_F(ControlService, RefusesMissingOrWrongSecretsWithoutLogging) {
    const auto service = start();
    const std::string secret(kSecret);
    std::string lower = secret;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    const std::string requests[] = {
        request("GET", "/screenshot"),
        request("GET", "/input"),
        request("POST", "/input?secret=", R"({"action":"move"})"),
        request("GET", "/screenshot?secret=wrong"),
        request("GET", "/screenshot?secret=" + lower),
        request("GET", "/screenshot?secret=" + secret.substr(0, 35)),
        request("GET", "/screenshot?Secret=" + secret),
        request("GET", "/screenshot?secret&secret=" + secret),
        request("GET", "/screenshot?secret=x&secret=" + secret),
        request("GET", "/scr%zz?secret=" + secret),
        "GET\r\n\r\n",
        "GET /input?secret=" + secret + "\xc2\xa0 HTTP/1.1\r\n\r\n",
    };
    for (const auto& text : requests) {
        SCOPED_TRACE(text);
        EXPECT_EQ(roundTrip(service->port(), text),
                  "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain; charset=utf-8\r\n"
                  "Content-Length: 9\r\nConnection: close\r\n\r\nForbidden");
    }
    EXPECT_EQ(log(), "");
    EXPECT_TRUE(work.bodies().empty());
}

TEST_F(ControlService, AnswersUnreadableRequestsWithALogged500) {
    const auto service = start();
    const std::string expected =
        "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/plain; charset=utf-8\r\n"
        "Content-Length: 16\r\nConnection: close\r\n\r\nInvalid request.";
    EXPECT_EQ(roundTrip(service->port(), "\xff"), expected);
    EXPECT_EQ(roundTrip(service->port(), withSecret("GET /screenshot") + " \xc0\xaf\r\n\r\n"),
              expected);
    {
        // The peer ends its output without a byte: the read ends empty, which is no request.
        const ControlClient client(service->port());
        client.shutdownWrite();
        EXPECT_EQ(client.receiveAll(), expected);
    }
    EXPECT_EQ(log(), "Screenshot HTTP error: Invalid request.\n"
                     "Screenshot HTTP error: Invalid request.\n"
                     "Screenshot HTTP error: Invalid request.\n");
}

struct RouteCase {
    std::string request;
    std::string contentType;
    std::string body;
};

TEST_F(ControlService, RoutesByPathAloneWhateverTheMethod) {
    const auto service = start();
    const RouteCase cases[] = {
        {request("GET", withSecret("/screenshot")), "image/jpeg", "jpeg 960 62"},
        {request("POST", withSecret("/screenshot?format=PNG&width=1280"), "ignored"), "image/png",
         "png 1280 62"},
        {request("DELETE", withSecret("/screenshot?width=99999&quality=0")), "image/jpeg",
         "jpeg 2560 25"},
        {request("GET", withSecret("/favicon.ico")), "image/jpeg", "jpeg 960 62"},
        {request("GET", withSecret("/input/")), "image/jpeg", "jpeg 960 62"},
        {request("GET", withSecret("/INPUT")), "image/jpeg", "jpeg 960 62"},
        {request("GET", withSecret("")), "image/jpeg", "jpeg 960 62"},
        {request("GET", withSecret("/%69nput"), "abc"), "application/json; charset=utf-8",
         R"({"bytes":3,"ok":true,"width":1920})"},
        {request("PUT", withSecret(":8788/input")), "application/json; charset=utf-8",
         R"({"bytes":0,"ok":true,"width":1920})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        const auto reply = parseReply(roundTrip(service->port(), c.request));
        EXPECT_EQ(reply.status, "200 OK");
        EXPECT_EQ(reply.contentType, c.contentType);
        EXPECT_EQ(reply.body, c.body);
    }
    EXPECT_EQ(work.bodies(), (std::vector<std::string>{"abc", ""}));
    EXPECT_EQ(log(), "");
}

TEST_F(ControlService, TurnsRouteFailuresIntoLogged500s) {
    work.screenshotError = "Timed out waiting for screen frame.";
    work.inputError = "Unsupported input action: Move";
    const auto service = start();
    const auto shot = parseReply(roundTrip(service->port(), request("GET", withSecret("/"))));
    EXPECT_EQ(shot.status, "500 Internal Server Error");
    EXPECT_EQ(shot.contentType, "text/plain; charset=utf-8");
    EXPECT_EQ(shot.body, "Main app screenshot failed: Timed out waiting for screen frame.");
    const auto input = parseReply(roundTrip(service->port(), request("GET", withSecret("/input"))));
    EXPECT_EQ(input.status, "500 Internal Server Error");
    EXPECT_EQ(input.body, "Main app input failed: Unsupported input action: Move");

    // A service given no work for its routes says so instead of failing obscurely.
    const zel::ScreenshotListener empty(bareConfig(0));
    EXPECT_EQ(parseReply(roundTrip(empty.port(), request("GET", withSecret("/")))).body,
              "Main app screenshot failed: Screen capture is not available.");

    const auto logged = log();
    EXPECT_EQ(logged, "Screenshot HTTP error: Main app screenshot failed: Timed out waiting for "
                      "screen frame.\n"
                      "Screenshot HTTP error: Main app input failed: Unsupported input action: "
                      "Move\n"
                      "Screenshot HTTP error: Main app screenshot failed: Screen capture is not "
                      "available.\n");
    EXPECT_EQ(logged.find(kSecret), std::string::npos);
}

TEST_F(ControlService, SeesOnlyWhatTheOneReadDelivers) {
    const auto service = start();
    // 70,000 bytes: the body handed on ends where the one read of at most 65,536 bytes ended.
    const auto head = request("POST", withSecret("/input"));
    const std::string big = head + std::string(70'000 - head.size(), 'x');
    const auto reply = parseReply(roundTrip(service->port(), big));
    EXPECT_EQ(reply.status, "200 OK");
    ASSERT_EQ(work.bodies().size(), 1U);
    EXPECT_GT(work.bodies()[0].size(), 0U);
    EXPECT_LE(work.bodies()[0].size(), 65'536 - head.size());

    // Head first, body only once the service has acted on the head: the body is never read.
    const ControlClient client(service->port());
    client.send(head);
    const auto headOnly = client.receiveAll();
    client.send(R"({"action":"move"})");
    EXPECT_EQ(parseReply(headOnly).body, R"({"bytes":0,"ok":true,"width":1920})");
    ASSERT_EQ(work.bodies().size(), 2U);
    EXPECT_EQ(work.bodies()[1], "");
}

TEST_F(ControlService, RunsTwoScreenshotsAtOnce) {
    work.waitForPartner = true;
    const auto service = start();
    const auto shot = [&] {
        return parseReply(roundTrip(service->port(), request("GET", withSecret("/screenshot"))));
    };
    auto first = std::async(std::launch::async, shot);
    auto second = std::async(std::launch::async, shot);
    EXPECT_EQ(first.get().body, "jpeg 960 62 together");
    EXPECT_EQ(second.get().body, "jpeg 960 62 together");
}

TEST_F(ControlService, HeldInputStallsNeitherScreenshotsNorTheListener) {
    work.holdInput();
    // One network thread: input work on it would leave nothing to read the screenshot request.
    zel::ControlServiceConfig config;
    config.networkThreads = 1;
    const auto service = start(config);
    auto input = std::async(std::launch::async, [&] {
        return parseReply(roundTrip(service->port(), request("POST", withSecret("/input"), "{}")));
    });
    ASSERT_TRUE(work.waitUntilInputEntered());
    const auto shot = parseReply(roundTrip(service->port(), request("GET", withSecret("/"))));
    EXPECT_EQ(shot.body, "jpeg 960 62");
    EXPECT_EQ(input.wait_for(0s), std::future_status::timeout);
    work.releaseInput();
    EXPECT_EQ(input.get().status, "200 OK");
}

TEST_F(ControlService, CancelStopsAcceptingAndLetsAcceptedConnectionsFinish) {
    work.holdInput();
    const auto service = start();
    auto input = std::async(std::launch::async, [&] {
        return parseReply(roundTrip(service->port(), request("POST", withSecret("/input"), "{}")));
    });
    ASSERT_TRUE(work.waitUntilInputEntered());
    service->cancel();
    // The close runs on the listener's strand; wait for the refusal rather than for a time.
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
    work.releaseInput();
    EXPECT_EQ(input.get().status, "200 OK");
}

TEST_F(ControlService, ClosesSilentPeersPlainly) {
    zel::ControlServiceConfig config;
    config.idleTimeout = 200ms;
    const auto service = start(config);
    const ControlClient silent(service->port());
    bool timedOut = true;
    EXPECT_EQ(silent.receiveAll(&timedOut), "");
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(log(), "");
    EXPECT_EQ(parseReply(roundTrip(service->port(), request("GET", "/"))).status, "403 Forbidden");
}

// Runs the process out of descriptors with idle peers: accepting pauses instead of failing and
// resumes once the idle peers have been closed.
TEST_F(ControlService, OutlivesRunningOutOfDescriptors) {
    zel::ControlServiceConfig config;
    config.idleTimeout = 300ms;
    config.acceptPause = 20ms;
    const auto service = start(config);

    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    int highest = 0;
    for (int fd = 0; fd < 4096; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) {
            highest = fd;
        }
    }
    // New descriptors take the lowest free number, so the holes below the highest one (inherited
    // descriptors leave some) are filled first; then 40 numbers are left.
    std::vector<int> fillers;
    for (;;) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0 || fd > highest) {
            ::close(fd);
            break;
        }
        fillers.push_back(fd);
    }
    rlimit tight = original;
    tight.rlim_cur = static_cast<rlim_t>(highest) + 40;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    {
        // Each peer costs a descriptor here and one in the service; this side stops at its first
        // refusal, by which time the service has met the limit too.
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
    EXPECT_EQ(parseReply(roundTrip(service->port(), request("GET", "/"))).status, "403 Forbidden");
    EXPECT_EQ(log().find("Screenshot service failed"), std::string::npos);
}

TEST_F(ControlService, AnswersOnIPv6Loopback) {
    const auto service = start();
    std::unique_ptr<ControlClient> client;
    try {
        client = std::make_unique<ControlClient>(service->port(), AF_INET6);
    } catch (const std::system_error& error) {
        GTEST_SKIP() << "no IPv6 loopback here: " << error.what();
    }
    client->send(request("GET", "/"));
    EXPECT_EQ(parseReply(client->receiveAll()).status, "403 Forbidden");
}

TEST_F(ControlService, LogsStartOrTheOneReasonItCannot) {
    auto service = zel::startScreenshotService(bareConfig(0));
    ASSERT_NE(service, nullptr);
    const auto port = service->port();
    EXPECT_EQ(log(), "Screenshot service listening on 127.0.0.1:" + std::to_string(port) + "\n");

    // The port is taken: one line, no service.
    const auto again = zel::startScreenshotService(bareConfig(port));
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(log(), "Screenshot service listening on 127.0.0.1:" + std::to_string(port) +
                         "\nUnable to start screenshot service: Address already in use\n");

    // The service closes first, leaving TIME_WAIT behind; a restart binds the port at once.
    EXPECT_EQ(parseReply(roundTrip(port, request("GET", "/"))).status, "403 Forbidden");
    service.reset();
    const auto restarted = zel::startScreenshotService(bareConfig(port));
    ASSERT_NE(restarted, nullptr);
    EXPECT_EQ(parseReply(roundTrip(port, request("GET", "/"))).status, "403 Forbidden");
}

} // namespace
