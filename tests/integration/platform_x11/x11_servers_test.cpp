// The X11 backends against the X servers users run, each a private Xvfb: no RandR, no XTEST,
// 15-, 16- and 30-bit screens (with and without MIT-SHM; 24-bit ones are every other test's), and
// a server frozen by SIGSTOP (the backends alone and behind the control service's routes).
#include "base/app_error.hpp"
#include "capture/main_process_screenshot.hpp"
#include "control_service/control_service.hpp"
#include "input/main_process_input.hpp"
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_input.hpp"
#include "tests/integration/platform_x11/x11_test_screen.hpp"
#include "tests/support/control_client.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <bit>
#include <csignal>
#include <filesystem>
#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <set>
#include <spng.h>
#include <unistd.h>

namespace {

namespace shot = zel::MainProcessScreenshot;
using Clock = std::chrono::steady_clock;
constexpr int kWidth = 640;
constexpr int kHeight = 480;
// A PNG screenshot at full size shows every block's colour; short channels widen to within 8.
void expectBlocks(zel::CaptureBackend& backend, const std::string& label) {
    try {
        const zel::test::Rgb image = zel::test::decode(shot::capture(backend, "png", kWidth, 62));
        ASSERT_EQ(std::pair(image.width, image.height), std::pair(kWidth, kHeight)) << label;
        zel::test::expectBlocks(image, 8, label);
    } catch (const std::exception& error) {
        ADD_FAILURE() << label << ": " << error.what();
    }
}

// The process's sockets by inode: a kept connection keeps its socket, a fresh one is new.
std::set<std::string> socketInodes() {
    std::set<std::string> result;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error && target.starts_with("socket:")) {
            result.insert(target);
        }
    }
    return result;
}

// Stops the X server once the stream of a capture is made: the set-up is done, the grab is next.
class FreezingBackend final : public zel::CaptureBackend {
public:
    FreezingBackend(zel::CaptureBackend& real, pid_t server) : real_(real), server_(server) {}
    std::vector<zel::CaptureDisplay> displays() override { return real_.displays(); }
    std::unique_ptr<zel::FrameStream> makeStream(const zel::CaptureDisplay& display,
                                                 const zel::StreamConfiguration& config) override {
        auto stream = real_.makeStream(display, config);
        ::kill(server_, SIGSTOP);
        return stream;
    }

private:
    zel::CaptureBackend& real_;
    pid_t server_;
};

std::size_t threadCount() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                      std::filesystem::directory_iterator()));
}

enum class Check { picture, noXtest, frozen };

struct Server {
    const char* name;
    std::vector<std::string> xvfbArgs;
    Check check = Check::picture;
};

void PrintTo(const Server& server, std::ostream* out) {
    *out << server.name;
}

class X11Servers : public ::testing::TestWithParam<Server> {};

TEST_P(X11Servers, CaptureAndInputServeTheScreenOrFailInTime) {
    const Server& server = GetParam();
    zel::test::Xvfb xvfb(kWidth, kHeight, server.xvfbArgs);
    const auto painter = zel::test::paintBlocks(xvfb.display(), kWidth, kHeight);
    const zel::test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
    const auto capture = zel::x11::makeCaptureBackend();
    const auto input = zel::x11::makeInputBackend();
    const nlohmann::json screen = {{"x", 0}, {"y", 0}, {"width", kWidth}, {"height", kHeight}};
    const char* click = R"({"action":"click","coordinate":[500,500]})";

    if (server.check == Check::noXtest) {
        // Refused without touching the kept connection: no connection is opened per request.
        EXPECT_FALSE(input->trusted());
        const auto sockets = socketInodes();
        for (int i = 0; i < 3; ++i) {
            EXPECT_FALSE(input->trusted());
        }
        EXPECT_EQ(socketInodes(), sockets);
        return;
    }
    expectBlocks(*capture, server.name);
    EXPECT_EQ(zel::MainProcessInput::perform(*input, click).at("display"), screen) << server.name;
    if (server.check != Check::frozen) {
        return;
    }

    // The app's routes over the backends, with the app's four capture threads.
    const std::string secret = "secret=0F6A1B2C";
    zel::ControlServiceConfig config{.port = 0, .secret = "0F6A1B2C", .handlers = {}};
    config.handlers.screenshot = [&](std::string_view format, int width, int quality) {
        return shot::capture(*capture, format, width, quality);
    };
    config.handlers.input = [&](std::string_view body) {
        return zel::MainProcessInput::perform(*input, body);
    };
    const zel::test::TempDir state;
    const zel::test::ScopedEnv stateHome("XDG_STATE_HOME", state.path().c_str());
    const zel::ControlService service(std::move(config));
    const auto threadsBefore = threadCount();
    // Frozen. First in the middle of a capture, after its set-up and before its grab: the grab
    // gives up with the screenshot's own 8 s.
    FreezingBackend freezing(*capture, xvfb.pid());
    struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{xvfb.pid()};
    auto frozenGrab = std::async(std::launch::async, [&] {
        try {
            shot::capture(freezing, "png", kWidth, 62);
            return std::string("answered");
        } catch (const std::exception& error) {
            return std::string(error.what());
        }
    });
    const bool inTime = frozenGrab.wait_for(std::chrono::seconds(12)) == std::future_status::ready;
    if (!inTime) {
        ::kill(xvfb.pid(), SIGCONT); // lets the held grab go: a failure, not a hang
    }
    EXPECT_TRUE(inTime) << "the grab held its thread past the screenshot's 8 s";
    EXPECT_THAT(frozenGrab.get(), ::testing::AnyOf("Timed out waiting for screen frame.",
                                                   "The X server did not answer in time."));

    // Then through the routes while it stays frozen: more screenshots than the service has capture
    // threads, and inputs, each answered with an error on a replaced connection; none keeps a
    // thread, so that once the server runs again the same service serves the screen.
    const std::string shotRequest =
        "GET /screenshot?" + secret + "&format=png&width=640 HTTP/1.1\r\n\r\n";
    const std::string pressRequest =
        "POST /input?" + secret + " HTTP/1.1\r\n\r\n" + std::string(click);
    std::vector<std::future<zel::test::ParsedReply>> answers;
    answers.reserve(11);
    for (int i = 0; i < 11; ++i) {
        answers.push_back(std::async(std::launch::async, [&, i] {
            return zel::test::parseReply(
                zel::test::roundTrip(service.port(), i < 9 ? shotRequest : pressRequest));
        }));
    }
    for (auto& answer : answers) {
        const auto reply = answer.get(); // each waits at most 15 s
        EXPECT_EQ(reply.status, "500 Internal Server Error") << reply.body;
    }
    ::kill(xvfb.pid(), SIGCONT);
    std::string status; // the connect begun while frozen ends soon after the server wakes
    for (const auto end = Clock::now() + std::chrono::seconds(10);
         status != "200 OK" && Clock::now() < end;) {
        status = zel::test::parseReply(zel::test::roundTrip(service.port(), shotRequest)).status;
    }
    EXPECT_EQ(status, "200 OK");
    expectBlocks(*capture, "after SIGCONT");
    EXPECT_EQ(zel::MainProcessInput::perform(*input, click).at("display"), screen);
    EXPECT_LE(threadCount(), threadsBefore + 1) << "threads left behind";
}

INSTANTIATE_TEST_SUITE_P(
    , X11Servers,
    ::testing::Values(
        Server{"NoRandr", {"-extension", "RANDR"}},
        Server{"Depth16", {"-screen", "0", "640x480x16"}},
        Server{"Depth16GetImage", {"-screen", "0", "640x480x16", "-extension", "MIT-SHM"}},
        Server{"Depth15", {"-screen", "0", "640x480x15"}},
        Server{"Depth30", {"-screen", "0", "640x480x30"}},
        Server{"Depth30GetImage", {"-screen", "0", "640x480x30", "-extension", "MIT-SHM"}},
        Server{"NoXtest", {"-extension", "XTEST"}, Check::noXtest},
        Server{"Frozen", {}, Check::frozen}),
    [](const ::testing::TestParamInfo<Server>& info) { return std::string(info.param.name); });

} // namespace
