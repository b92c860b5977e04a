// The control service over real TCP with raw bytes, its routes' work faked (control_app_test runs
// the real work): secret check, routing, the one read, error answers and log lines, concurrency.
#include "app/app_error.hpp"
#include "control_service/http_codec.hpp"
#include "control_service/screenshot_listener.hpp"
#include "supervisor/agent_log.hpp"
#include "tests/integration/control_client.hpp"
#include "tests/support/temp_dir.hpp"

#include <condition_variable>
#include <future>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using zel::test::parseReply;
using zel::test::roundTrip;

const std::string kSecret = "0F6A1B2C-3D4E-4F50-8A61-72B3C4D5E6F7";

std::string request(std::string_view method, std::string target, std::string_view body = "") {
    target += (target.find('?') == std::string::npos ? "?secret=" : "&secret=") + kSecret;
    return std::string(method) + " " + target + " HTTP/1.1\r\nHost: h\r\n\r\n" + std::string(body);
}
zel::test::ParsedReply ask(std::uint16_t port, std::string_view method, std::string target,
                           std::string_view body = "") {
    return parseReply(roundTrip(port, request(method, std::move(target), body)));
}
std::string summary(const zel::test::ParsedReply& reply) {
    return reply.status + " " + reply.contentType + " " + reply.body;
}

class ControlService : public ::testing::Test {
protected:
    // Route work that records its input, can be held inside, and fails on request.
    std::unique_ptr<zel::ScreenshotListener> start(std::size_t networkThreads = 2) {
        zel::ControlServiceConfig config;
        config.port = 0;
        config.secret = kSecret;
        config.networkThreads = networkThreads;
        config.handlers.screenshot = [this](std::string_view format, int width, int quality) {
            std::unique_lock lock(mutex_);
            ++shots_;
            changed_.notify_all();
            // A second capture arriving while this one is held proves they run side by side.
            const bool both =
                changed_.wait_for(lock, waitForPartner ? 10s : 0s, [&] { return shots_ >= 2; });
            if (!screenshotError.empty()) {
                throw zel::AppError(screenshotError);
            }
            const auto text = std::string(format) + " " + std::to_string(width) + " " +
                              std::to_string(quality) + (waitForPartner && both ? " both" : "");
            return std::vector<std::uint8_t>(text.begin(), text.end());
        };
        config.handlers.input = [this](std::string_view body) {
            std::unique_lock lock(mutex_);
            bodies_.emplace_back(body);
            changed_.notify_all();
            changed_.wait(lock, [&] { return !inputHeld; });
            if (!inputError.empty()) {
                throw std::runtime_error(inputError);
            }
            return nlohmann::json{{"ok", true}, {"bytes", body.size()}};
        };
        return std::make_unique<zel::ScreenshotListener>(std::move(config));
    }
    bool inputEntered() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return !bodies_.empty(); });
    }
    void releaseInput() {
        const std::lock_guard lock(mutex_);
        inputHeld = false;
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
    bool waitForPartner = false, inputHeld = false;
    std::string screenshotError, inputError;
    std::mutex mutex_;
    std::condition_variable changed_;
    int shots_ = 0;
    std::vector<std::string> bodies_;
};

TEST_F(ControlService, RefusesWrongSecretsUnloggedAndUnreadableRequestsLogged) {
    const auto service = start();
    const std::string forbidden = "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain; "
                                  "charset=utf-8\r\nContent-Length: 9\r\nConnection: close\r\n\r\n"
                                  "Forbidden";
    const std::string invalid =
        "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/plain; charset=utf-8\r\n"
        "Content-Length: 16\r\nConnection: close\r\n\r\nInvalid request.";
    std::string lower = kSecret;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    const std::pair<std::string, const std::string&> cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", forbidden},
        {"POST /input?secret= HTTP/1.1\r\n\r\n{}", forbidden},
        {"GET /?secret=" + lower + " HTTP/1.1\r\n\r\n", forbidden},
        {"GET /?secret=" + kSecret.substr(0, 35) + " HTTP/1.1\r\n\r\n", forbidden},
        {"GET /?secret=" + kSecret + "0 HTTP/1.1\r\n\r\n", forbidden},
        {"\xff", invalid},
        {request("GET", "/\xc0\xaf"), invalid},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(roundTrip(service->port(), text), expected);
    }
    const zel::test::ControlClient client(service->port()); // closes its side without a byte
    client.shutdownWrite();
    EXPECT_EQ(client.receiveAll(), invalid);
    EXPECT_EQ(log(), "Screenshot HTTP error: Invalid request.\n"
                     "Screenshot HTTP error: Invalid request.\n"
                     "Screenshot HTTP error: Invalid request.\n");
    EXPECT_TRUE(bodies().empty());
}

TEST_F(ControlService, RoutesByPathAloneWhateverTheMethod) {
    const auto service = start();
    const std::tuple<const char*, std::string, const char*, std::string> cases[] = {
        {"POST", "/screenshot?format=PNG&width=1280", "x", "image/png png 1280 62"},
        {"GET", "/input/", "", "image/jpeg jpeg 960 62"},
        {"GET", "/%69nput", "abc", R"(application/json; charset=utf-8 {"bytes":3,"ok":true})"},
    };
    for (const auto& [method, target, body, expected] : cases) {
        SCOPED_TRACE(target);
        EXPECT_EQ(summary(ask(service->port(), method, target, body)), "200 OK " + expected);
    }
    EXPECT_EQ(log(), "");
}

TEST_F(ControlService, TurnsRouteFailuresIntoLogged500s) {
    screenshotError = "Timed out waiting for screen frame.";
    inputError = "Unsupported input action: Move";
    const auto service = start();
    zel::ControlServiceConfig config;
    config.port = 0;
    config.secret = kSecret;
    const zel::ScreenshotListener bare(config); // no work behind its routes
    const std::tuple<std::uint16_t, const char*, std::string> cases[] = {
        {service->port(), "/", "Main app screenshot failed: Timed out waiting for screen frame."},
        {service->port(), "/input", "Main app input failed: Unsupported input action: Move"},
        {bare.port(), "/", "Main app screenshot failed: Screen capture is not available."},
    };
    std::string expectedLog;
    for (const auto& [port, path, message] : cases) {
        EXPECT_EQ(summary(ask(port, "GET", path)),
                  "500 Internal Server Error text/plain; charset=utf-8 " + message);
        expectedLog += "Screenshot HTTP error: " + message + "\n";
    }
    EXPECT_EQ(log(), expectedLog);
}

TEST_F(ControlService, SeesOnlyWhatTheOneReadDelivers) {
    const auto service = start();
    const auto head = request("POST", "/input");
    EXPECT_EQ(ask(service->port(), "POST", "/input", std::string(70'000 - head.size(), 'x')).status,
              "200 OK");
    ASSERT_EQ(bodies().size(), 1U);
    EXPECT_GT(bodies()[0].size(), 0U);
    EXPECT_LE(bodies()[0].size(), 65'536 - head.size());

    // Head first, body only once the service has answered the head: the body is never read.
    const zel::test::ControlClient client(service->port());
    client.send(head);
    EXPECT_EQ(parseReply(client.receiveAll()).body, R"({"bytes":0,"ok":true})");
    client.send(R"({"action":"move"})");
    EXPECT_EQ(bodies().at(1), "");
}

TEST_F(ControlService, RunsScreenshotsSideBySideWithEachOtherAndWithHeldInput) {
    waitForPartner = inputHeld = true;
    const auto service = start(1); // input work on the one network thread would starve the shots
    auto input = std::async(std::launch::async,
                            [&] { return ask(service->port(), "POST", "/input").status; });
    ASSERT_TRUE(inputEntered());
    const auto shot = [&] { return ask(service->port(), "GET", "/").body; };
    auto first = std::async(std::launch::async, shot);
    EXPECT_EQ(shot(), "jpeg 960 62 both");
    EXPECT_EQ(first.get(), "jpeg 960 62 both");
    EXPECT_EQ(input.wait_for(0s), std::future_status::timeout);
    releaseInput();
    EXPECT_EQ(input.get(), "200 OK");
}

} // namespace
