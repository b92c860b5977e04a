// The control service over real TCP with raw bytes, its routes' work faked (the end-to-end test
// runs the real work): secret check, routing, the one read, error answers and log lines,
// concurrency.
#include "base/agent_log.hpp"
#include "control_service/control_service.hpp"
#include "control_service/http_codec.hpp"
#include "tests/support/control_client.hpp"
#include "tests/support/temp_dir.hpp"

#include <condition_variable>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <netdb.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using zel::test::roundTrip;

const std::string kSecret = "0F6A1B2C-3D4E-4F50-8A61-72B3C4D5E6F7";
const std::string kError = "500 Internal Server Error text/plain; charset=utf-8 ";

std::string request(std::string_view method, std::string target, std::string_view body = "") {
    target += (target.find('?') == std::string::npos ? "?secret=" : "&secret=") + kSecret;
    return std::string(method) + " " + target + " HTTP/1.1\r\nHost: h\r\n\r\n" + std::string(body);
}
std::string summary(std::string_view raw) {
    const auto reply = zel::test::parseReply(raw);
    return reply.status + " " + reply.contentType + " " + reply.body;
}
std::string ask(std::uint16_t port, std::string_view method, std::string target,
                std::string_view body = "") {
    return summary(roundTrip(port, request(method, std::move(target), body)));
}

class ControlService : public ::testing::Test {
protected:
    // Route work that echoes what it was asked and throws `failure` when set; PNG screenshots
    // are held until `release`, an input answers how many were held then, and a tiles request
    // waiting for a change leaves its wake-up in `wake`.
    std::unique_ptr<zel::ControlService> start(std::size_t maxConnections = 64,
                                               std::size_t networkThreads = 2) {
        zel::ControlServiceConfig config{
            .port = 0, .secret = kSecret, .handlers = {}, .idleTimeout = 60s};
        config.networkThreads = networkThreads;
        config.maxConnections = maxConnections;
        config.handlers.screenshot = [this](std::string_view format, int width, int quality) {
            failIfAsked();
            if (format == "png") {
                ++holding;
                released.wait();
            }
            return bytes(std::string(format) + " " + std::to_string(width) + " " +
                         std::to_string(quality));
        };
        config.handlers.input = [this](std::string_view body) {
            failIfAsked();
            const std::lock_guard lock(mutex_);
            bodies_.emplace_back(body);
            return nlohmann::json{{"held", holding.load()}, {"bytes", body.size()}};
        };
        config.handlers.awaitChange = [this](std::uint64_t, std::function<void()> changed, bool) {
            failIfAsked(); // as a change source that cannot watch
            const std::lock_guard lock(mutex_);
            wake = std::move(changed);
            registered_.notify_all();
        };
        config.handlers.tiles = [](std::uint64_t since, int width, int quality, bool copies,
                                   bool pointer, int videoBitrate, int videoWidth) {
            return bytes(std::to_string(since) + " " + std::to_string(width) + " " +
                         std::to_string(quality) + (copies ? " copies" : "") +
                         (pointer ? " pointer" : "") +
                         (videoBitrate ? " video " + std::to_string(videoBitrate) : "") +
                         (videoWidth ? " at " + std::to_string(videoWidth) : ""));
        };
        // A region's capture echoes its request; the change log's sequence is `sequence`, and
        // anything after a given one changed box {1,2,3,4}; without `tracking` the frames of
        // `looks` are compared instead, each look answering its boxes.
        config.handlers.zoom = [](std::string_view format, int width, int quality,
                                  zel::ScreenBox r) {
            return bytes("zoom " + std::string(format) + " " + std::to_string(width) + " " +
                         std::to_string(quality) + " " + std::to_string(r.x) + "," +
                         std::to_string(r.y) + "," + std::to_string(r.width) + "," +
                         std::to_string(r.height));
        };
        config.handlers.changesSince = [this](std::uint64_t since) {
            zel::ScreenChanges changes{sequence.load(), {}, {0, 0, 640, 480}};
            if (since != 0 && changes.sequence > since) {
                changes.boxes = {{1, 2, 3, 4}};
            }
            return changes;
        };
        config.handlers.compareFrames = [this] {
            return std::function<zel::ScreenChanges()>([this] {
                const int look = looks++;
                zel::ScreenChanges changes{0, {}, {0, 0, 640, 480}};
                if (look > 0 && look <= changingLooks) {
                    changes.boxes = {{look, look, 10, 10}};
                }
                return changes;
            });
        };
        if (!tracking) {
            config.handlers.awaitChange = nullptr;
            config.handlers.tiles = nullptr;
        }
        return std::make_unique<zel::ControlService>(std::move(config));
    }
    // Reports changes (each wakes the waiter the route left) every 20 ms for `duration`.
    void changeFor(std::chrono::milliseconds duration) {
        for (const auto end = std::chrono::steady_clock::now() + duration;
             std::chrono::steady_clock::now() < end;) {
            std::function<void()> woken;
            {
                const std::lock_guard lock(mutex_);
                ++sequence;
                woken.swap(wake);
            }
            if (woken) {
                woken();
            }
            std::this_thread::sleep_for(20ms);
        }
    }
    void failIfAsked() const {
        if (!failure.empty()) {
            throw std::runtime_error(failure);
        }
    }
    static std::vector<std::uint8_t> bytes(const std::string& text) {
        return {text.begin(), text.end()};
    }
    std::vector<std::string> bodies() {
        const std::lock_guard lock(mutex_);
        return bodies_;
    }
    static nlohmann::json settle(std::uint16_t port, const std::string& query) {
        const auto reply =
            zel::test::parseReply(roundTrip(port, request("GET", "/settle?" + query)));
        EXPECT_EQ(reply.status, "200 OK") << reply.body;
        return nlohmann::json::parse(reply.body);
    }
    [[nodiscard]] static std::string log() {
        return std::filesystem::exists(zel::logURL()) ? zel::test::readFile(zel::logURL()) : "";
    }

    zel::test::TempDir state;
    zel::test::ScopedEnv stateHome{"XDG_STATE_HOME", state.path().c_str()};
    std::string failure;
    std::atomic<int> holding{0};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::function<void()> wake;
    bool tracking = true;
    std::atomic<std::uint64_t> sequence{5};
    std::atomic<int> looks{0};
    int changingLooks = 0;
    std::mutex mutex_;
    std::condition_variable registered_;
    std::vector<std::string> bodies_;
};

TEST_F(ControlService, RefusesWrongSecretsUnloggedAndUnreadableRequestsLogged) {
    const auto service = start();
    const std::string lower = "0f6a1b2c-3d4e-4f50-8a61-72b3c4d5e6f7";
    for (const std::string& secret : {std::string(), lower, kSecret.substr(0, 35), kSecret + "0"}) {
        EXPECT_EQ(summary(roundTrip(service->port(),
                                    "POST /input?secret=" + secret + " HTTP/1.1\r\n\r\n{}")),
                  "403 Forbidden text/plain; charset=utf-8 Forbidden")
            << secret;
    }
    // Bytes that are not UTF-8 fail before the secret check (its forms: base_test).
    const std::string invalid = kError + "Invalid request.";
    EXPECT_EQ(summary(roundTrip(service->port(), "\xff")), invalid);
    EXPECT_EQ(summary(roundTrip(service->port(), "", true)), invalid); // unlogged: the flood below
    EXPECT_EQ(log(), "Screenshot HTTP error: Invalid request.\n");
    EXPECT_TRUE(bodies().empty());
}

// Peers that only hold or churn connections: the ones that close without a byte leave no line, and
// at the cap the longest idle one makes room for a request at once; nothing but loopback reaches
// the service.
TEST_F(ControlService, FloodsOfEmptyAndIdleConnectionsCostNothingAndReachNoLog) {
    const auto service = start(4);
    const auto connectTo = [&](std::uint32_t host) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{AF_INET, htons(service->port()), {htonl(host)}, {}};
        const bool connected =
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        return connected ? fd : (::close(fd), -1);
    };
    for (int i = 0; i < 500; ++i) {
        ::close(connectTo(INADDR_LOOPBACK));
    }
    std::vector<int> idle;
    for (int i = 0; i < 4; ++i) {
        idle.push_back(connectTo(INADDR_LOOPBACK));
        std::this_thread::sleep_for(20ms); // accepted in this order
    }
    EXPECT_EQ(ask(service->port(), "GET", "/screenshot"), "200 OK image/jpeg jpeg 960 62");
    timeval wait{5, 0};
    ::setsockopt(idle[0], SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char byte = 0;
    EXPECT_EQ(::recv(idle[0], &byte, 1, 0), 0) << "the oldest idle peer was not closed";
    EXPECT_EQ(::recv(idle[1], &byte, 1, MSG_DONTWAIT), -1) << "a younger one was closed";
    for (const int fd : idle) {
        ::close(fd);
    }
    EXPECT_EQ(log(), "");
    // Any address of this host but loopback is refused (where the host has one).
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    if (const hostent* host = ::gethostbyname(name); host != nullptr && host->h_length == 4) {
        std::uint32_t address = 0;
        std::memcpy(&address, host->h_addr_list[0], 4);
        if (ntohl(address) >> 24 != 127) {
            EXPECT_EQ(connectTo(ntohl(address)), -1) << "reachable on " << name;
        }
    }
}

TEST_F(ControlService, RoutesByPathAloneWhateverTheMethodAndReadsOnce) {
    release.set_value();
    const auto service = start();
    const std::string regionError =
        "Main app screenshot failed: region must be x,y,width,height in desktop pixels.";
    const std::string badRegion = kError + regionError;
    const std::tuple<const char*, std::string, const char*, std::string> cases[] = {
        {"POST", "/screenshot?format=PNG&width=1280", "x", "200 OK image/png png 1280 62"},
        {"GET", "/input/", "", "200 OK image/jpeg jpeg 960 62"},
        {"GET", "/%69nput", "abc",
         R"(200 OK application/json; charset=utf-8 {"bytes":3,"held":1})"},
        // A region at its own pixels.
        {"GET", "/screenshot?region=10,-20,30,40&format=png&width=15", "",
         "200 OK image/png zoom png 15 62 10,-20,30,40"},
        {"GET", "/anything?region=0,0,1,1&quality=90", "",
         "200 OK image/jpeg zoom jpeg 0 90 0,0,1,1"},
        {"GET", "/screenshot?region=0,0,0,5", "", badRegion},
        {"GET", "/screenshot?region=1,2,3", "", badRegion},
        {"GET", "/screenshot?region=1,2,3,4,5", "", badRegion},
    };
    for (const auto& [method, target, body, expected] : cases) {
        EXPECT_EQ(ask(service->port(), method, target, body), expected) << target;
    }
    // A request longer than the one read is cut off where the read ends.
    const auto head = request("POST", "/input");
    ask(service->port(), "POST", "/input", std::string(70'000 - head.size(), 'x'));
    EXPECT_GT(bodies().at(1).size(), 0U);
    EXPECT_LE(bodies().at(1).size(), 65'536 - head.size());
    EXPECT_EQ(log(), "Screenshot HTTP error: " + regionError + "\n"); // the repeats folded
}

// Failures are 500s; no change tracking is a 501, which the agent server tells by its status.
TEST_F(ControlService, TurnsRouteFailuresIntoLoggedErrors) {
    failure = "Timed out waiting for screen frame.";
    const auto service = start();
    const zel::ControlService bare({.port = 0, .secret = kSecret, .handlers = {}}); // no work
    const std::string notImplemented = "501 Not Implemented text/plain; charset=utf-8 ";
    const std::tuple<std::uint16_t, const char*, std::string, std::string> cases[] = {
        {service->port(), "/", kError, "Main app screenshot failed: " + failure},
        {service->port(), "/input", kError, "Main app input failed: " + failure},
        {service->port(), "/tiles", notImplemented, "Main app tiles failed: " + failure},
        {bare.port(), "/", kError, "Main app screenshot failed: Screen capture is not available."},
        {bare.port(), "/tiles", notImplemented,
         "Main app tiles failed: Change tracking is not available."},
        {bare.port(), "/accessibility", notImplemented,
         "Main app accessibility failed: Accessibility is not available."},
    };
    std::string expectedLog;
    for (const auto& [port, path, answer, message] : cases) {
        EXPECT_EQ(ask(port, "GET", path), answer + message) << path;
        expectedLog += "Screenshot HTTP error: " + message + "\n";
    }
    EXPECT_EQ(log(), expectedLog);
}

// Both held at once, and an input answered meanwhile on the one network thread: work blocks
// neither the network nor the other pool.
TEST_F(ControlService, RunsScreenshotsSideBySideWithEachOtherAndWithInput) {
    const auto service = start(64, 1);
    const auto png = [&] { return ask(service->port(), "GET", "/?format=png"); };
    std::future<std::string> held[] = {std::async(std::launch::async, png),
                                       std::async(std::launch::async, png)};
    for (int i = 0; i < 500 && holding < 2; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(ask(service->port(), "POST", "/input"),
              R"(200 OK application/json; charset=utf-8 {"bytes":0,"held":2})");
    release.set_value();
    for (auto& answer : held) {
        EXPECT_EQ(answer.get(), "200 OK image/png png 960 62");
    }
}

TEST_F(ControlService, AnswersALongPollOnTheChangeOrAfterTheWait) {
    const auto service = start();
    const std::string tiles = "200 OK application/x-zel-tiles ";
    // Nothing changes: answered after the wait, the handler deciding what that means.
    EXPECT_EQ(ask(service->port(), "GET", "/tiles?since=7&width=640&quality=50&wait=50&copies=1"),
              tiles + "7 640 50 copies");
    // A video rate and the width it is shown at reach the handler only within their bounds.
    for (const auto& [query, expected] : std::vector<std::pair<std::string, std::string>>{
             {"&video=800000", " video 800000"},
             {"&video=800000&videoWidth=1170", " video 800000 at 1170"},
             {"&video=800000&videoWidth=100", " video 800000"},
             {"&video=99999", ""},
             {"&video=50000001", ""},
             {"&video=-5", ""},
             {"&video=fast", ""}}) {
        EXPECT_EQ(ask(service->port(), "GET", "/tiles?since=7&width=640&quality=50&wait=0" + query),
                  (tiles + "7 640 50").append(expected))
            << query;
    }
    // A change while it waits answers it, and only that does.
    {
        const std::lock_guard lock(mutex_);
        wake = nullptr;
    }
    auto pending = std::async(std::launch::async, [&] {
        return ask(service->port(), "GET", "/tiles?since=9&wait=20000");
    });
    {
        std::unique_lock lock(mutex_);
        ASSERT_TRUE(registered_.wait_for(lock, 10s, [&] { return wake != nullptr; }));
    }
    EXPECT_EQ(pending.wait_for(200ms), std::future_status::timeout);
    std::thread([&] { wake(); }).join();
    EXPECT_EQ(pending.get(), tiles + "9 960 62");
}

// The settle route's answers: settled on a still screen, after the changes stop, unsettled at the
// limit; the boxes of changes since a given sequence; a starting watch's first report not counted;
// frames compared where nothing tracks changes. Times only as lower bounds.
TEST_F(ControlService, SettlesWhenTheChangesStopOrAtTheLimit) {
    using nlohmann::json;
    const auto service = start();
    const auto port = service->port();

    json still = settle(port, "quiet_ms=50&limit_ms=5000");
    EXPECT_EQ(still["settled"], true);
    EXPECT_EQ(still["boxes"], json::array());
    EXPECT_EQ(still["source"], "changes");
    EXPECT_EQ(still["display"], json::parse(R"({"x":0,"y":0,"width":640,"height":480})"));
    EXPECT_GE(still["elapsed_ms"].get<int>(), 50);

    auto settling =
        std::async(std::launch::async, [&] { return settle(port, "quiet_ms=100&limit_ms=20000"); });
    const auto began = std::chrono::steady_clock::now();
    changeFor(300ms);
    const auto stopped = std::chrono::steady_clock::now() - began;
    const json settled = settling.get();
    EXPECT_EQ(settled["settled"], true);
    EXPECT_EQ(settled["boxes"], json::parse("[[1,2,3,4]]"));
    EXPECT_EQ(settled["sequence"], sequence.load());
    EXPECT_GE(settled["elapsed_ms"].get<std::int64_t>(),
              std::chrono::duration_cast<std::chrono::milliseconds>(stopped).count() + 100 - 25);

    auto limited =
        std::async(std::launch::async, [&] { return settle(port, "quiet_ms=200&limit_ms=150"); });
    while (limited.wait_for(0s) != std::future_status::ready) {
        changeFor(40ms);
    }
    const json unsettled = limited.get();
    EXPECT_EQ(unsettled["settled"], false);
    EXPECT_GE(unsettled["elapsed_ms"].get<int>(), 150);

    // Changes between `since` and the request count, and make it wait the quiet time.
    const json since = settle(port, "quiet_ms=30&since=" + std::to_string(sequence - 1));
    EXPECT_EQ(since["boxes"], json::parse("[[1,2,3,4]]"));
    EXPECT_EQ(since["settled"], true);
    EXPECT_GE(since["elapsed_ms"].get<int>(), 30);

    // A log that never reported: its first report starts the count.
    sequence = 0;
    auto priming = std::async(std::launch::async, [&] { return settle(port, "quiet_ms=0"); });
    while (priming.wait_for(0s) != std::future_status::ready) {
        changeFor(20ms); // only what follows the first report would count
    }
    const json primed = priming.get();
    EXPECT_EQ(primed["settled"], true);
    EXPECT_GE(primed["sequence"].get<int>(), 1);
}

TEST_F(ControlService, SettlesByComparingFramesWithoutChangeTracking) {
    tracking = false;
    changingLooks = 3;
    const auto service = start(); // no tiles route (its 501: TurnsRouteFailuresIntoLoggedErrors)
    const auto answer = settle(service->port(), "quiet_ms=150&limit_ms=20000");
    EXPECT_EQ(answer["settled"], true);
    EXPECT_EQ(answer["source"], "frames");
    EXPECT_EQ(answer["boxes"], nlohmann::json::parse("[[1,1,10,10],[2,2,10,10],[3,3,10,10]]"));
    // Three changing looks 100 ms apart, then quiet for 150 ms.
    EXPECT_GE(answer["elapsed_ms"].get<int>(), 300 + 150 - 100);
    EXPECT_GE(looks.load(), 5);
}

} // namespace
