// The X11 backends against the X servers users run, each a private Xvfb: no RandR, no XTEST, a
// 16-bit screen, a 30-bit one without MIT-SHM, a server frozen by SIGSTOP (the backends alone and
// behind the control service's routes); a missing and a vanished one.
#include "capture/screenshot.hpp"
#include "control_service/control_service.hpp"
#include "input/input_actions.hpp"
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_input.hpp"
#include "tests/integration/platform_x11/x11_test_screen.hpp"
#include "tests/support/command.hpp"
#include "tests/support/control_client.hpp"
#include "tests/support/input_arrivals.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

namespace shot = zel::Screenshot;
constexpr int kWidth = 640;
constexpr int kHeight = 480;

std::size_t threadCount() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                      std::filesystem::directory_iterator()));
}

// Frames taken at once, at full size and at half, show every block's colour at its place (short
// channels widen to within 8); after the burst the backend keeps two stream threads warm and lets
// the rest go.
void expectBlocks(zel::CaptureBackend& backend, const std::string& label, int count = 1) {
    const auto threadsBefore = threadCount();
    std::vector<std::jthread> threads;
    threads.reserve(count);
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, width = kWidth / (1 + i % 2)] {
            try {
                const zel::Image image = shot::captureFrame(backend, width);
                ASSERT_EQ(std::pair(image.width(), image.height()),
                          std::pair(width, width * 3 / 4));
                zel::test::expectBlocks(image, 8, label);
            } catch (const std::exception& error) {
                ADD_FAILURE() << label << ": " << error.what();
            }
        });
    }
    threads.clear();
    shot::capture(backend, "jpeg", 320, 62);
    // Retired threads take a moment to end; kept ones never do.
    EXPECT_TRUE(zel::test::waitUntil([&] { return threadCount() <= threadsBefore + 2; },
                                     std::chrono::seconds(3)))
        << label << ": " << threadCount() << " threads, " << threadsBefore << " before";
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

enum class Check { picture, noXtest, frozen };

struct Server {
    const char* name;
    std::vector<std::string> xvfbArgs;
    Check check = Check::picture;
};

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
        EXPECT_FALSE(input->trusted());
        EXPECT_EQ(zel::test::errorText([&] { zel::InputActions::perform(*input, click); }),
                  zel::x11::kNoXtestMessage);
        return;
    }
    expectBlocks(*capture, server.name, 16);
    EXPECT_EQ(zel::InputActions::perform(*input, click).at("display"), screen) << server.name;
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
        return zel::InputActions::perform(*input, body);
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
        return zel::test::errorText([&] { shot::capture(freezing, "png", kWidth, 62); });
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
    // The connect begun while frozen ends soon after the server wakes.
    EXPECT_TRUE(zel::test::waitUntil(
        [&] {
            return zel::test::parseReply(zel::test::roundTrip(service.port(), shotRequest))
                       .status == "200 OK";
        },
        std::chrono::seconds(10)));
    expectBlocks(*capture, "after SIGCONT");
    EXPECT_EQ(zel::InputActions::perform(*input, click).at("display"), screen);
    EXPECT_LE(threadCount(), threadsBefore + 1) << "threads left behind";
}

INSTANTIATE_TEST_SUITE_P(
    , X11Servers,
    ::testing::Values(Server{"NoRandr", {"-extension", "RANDR"}},
                      Server{"Depth16", {"-screen", "0", "640x480x16"}},
                      Server{"Depth30GetImage",
                             {"-screen", "0", "640x480x30", "-extension", "MIT-SHM"}},
                      Server{"NoXtest", {"-extension", "XTEST"}, Check::noXtest},
                      Server{"Frozen", {}, Check::frozen}),
    [](const ::testing::TestParamInfo<Server>& info) { return std::string(info.param.name); });

TEST(X11Capture, CursorIsDrawnWhereXTestMovedItAndAVanishedServerIsAClearError) {
    using ::testing::ThrowsMessage;
    const auto capture = [](zel::CaptureBackend& backend) {
        return [&backend] { shot::capture(backend, "jpeg", 640, 62); };
    };
    {
        const zel::test::ScopedEnv env("DISPLAY", ":4093");
        const auto missing = zel::x11::makeCaptureBackend();
        EXPECT_THAT(capture(*missing), ThrowsMessage<std::runtime_error>(::testing::StrEq(
                                           "Cannot connect to the X server \":4093\".")));
    }
    zel::test::Xvfb xvfb(640, 480);
    const auto painter = zel::test::paintRoot(xvfb.display(), {{{0, 0, 640, 480}, 0x808080}});
    const zel::test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
    ASSERT_EQ(zel::test::runCommand({"xdotool", "mousemove", "400", "300"}).exitStatus, 0);
    const auto backend = zel::x11::makeCaptureBackend();
    const zel::Image image = shot::captureFrame(*backend, 640);
    int near = 0, far = 0; // non-grey pixels within 20 of the hot spot, and elsewhere
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (zel::test::pixelAt(image, x, y) != std::array{128, 128, 128}) {
                ++(std::abs(x - 400) <= 20 && std::abs(y - 300) <= 20 ? near : far);
            }
        }
    }
    EXPECT_TRUE(near > 10 && far == 0) << near << " near, " << far << " far";

    // The process goes on when the server it captures from goes away.
    xvfb.stop();
    EXPECT_THAT(capture(*backend),
                ThrowsMessage<std::runtime_error>(::testing::HasSubstr("X server")));
}

// Opening a display on our own socket: the server's cookie is found where libxcb would find it,
// and a server that accepts but never answers (as one in the middle of a reset) gives up.
TEST(X11Connection, TheCookieOfTheAuthorityFileOpensAServerThatWantsOne) {
    const zel::test::TempDir temp;
    const std::string authority = (temp.path() / "Xauthority").string();
    // The server reads the file again when a client fails it, so the cookie may come later.
    std::ofstream(authority).flush();
    const zel::test::Xvfb xvfb(640, 480, {"-auth", authority});
    ASSERT_EQ(std::system(("xauth -q -f " + authority + " add " + xvfb.display() +
                           " MIT-MAGIC-COOKIE-1 0123456789abcdef0123456789abcdef")
                              .c_str()),
              0);
    ::setenv("XAUTHORITY", "/nonexistent", 1);
    EXPECT_THROW(zel::x11::Connection::open(xvfb.display().c_str()), std::runtime_error);
    ::setenv("XAUTHORITY", authority.c_str(), 1);
    EXPECT_NE(zel::x11::Connection::open(xvfb.display().c_str())->root(), 0U);
    ::unsetenv("XAUTHORITY");
}

TEST(X11Connection, AServerThatAcceptsAndNeverAnswersGivesUpAtTheLimit) {
    // An abstract socket of a display number nobody uses, listening and never accepting.
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    int display = 900;
    for (;; ++display) {
        ASSERT_LT(display, 1000);
        const std::string name = "/tmp/.X11-unix/X" + std::to_string(display);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name.data(), name.size());
        const auto length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
            break;
        }
    }
    ASSERT_EQ(::listen(listener, 4), 0);
    const std::string name = ":" + std::to_string(display);
    EXPECT_EQ(zel::test::errorText([&] {
                  (void)zel::x11::Connection::open(name.c_str(), std::chrono::milliseconds(300));
              }),
              "The X server did not answer in time.");
    ::close(listener);
}

// InputActions over the X11 backend against a private Xvfb, with xev covering the screen as
// the client that records the events reaching it.
using namespace std::chrono_literals;

std::string keymap(const zel::test::Xvfb& xvfb) {
    return zel::test::runCommand({"xkbcomp", "-xkb", xvfb.display(), "-"}).output;
}

// Typed text goes through the keymap with Shift where needed, else through spare keys lent for
// the moment, more characters than there are spare keys among them; the keymap is as before once
// typing is idle.
TEST(InputX11, EachRequestArrivesAtTheRecordingClientAndTheKeymapIsGivenBack) {
    const zel::test::Xvfb xvfb{1512, 982};
    const zel::test::ScopedEnv display{"DISPLAY", xvfb.display().c_str()};
    const zel::test::TempDir dir;
    zel::test::Recorder xev{
        (dir.path() / "xev.log").string(), zel::test::parseXev, {0, 0, 1512, 982}, 0, 0, 1512, 982};
    const zel::test::Child recorder{{"sh", "-c",
                                     "exec stdbuf -oL xev -name zelrec -geometry 1512x982+0+0 "
                                     "-event keyboard -event button -event mouse >\"$0\" 2>&1",
                                     xev.log}};
    ASSERT_EQ(zel::test::runCommand({"timeout", "10", "xdotool", "search", "--sync", "--name",
                                     "^zelrec$", "windowfocus", "--sync"})
                  .exitStatus,
              0);
    xev.checksMoreButtons = true;
    const auto before = keymap(xvfb);
    const auto input = zel::x11::makeInputBackend();
    zel::test::expectArrivals(*input, xev,
                              {"Hello, World! ~_~\n\tok", "Grüße, é € ½ ✓ 😀",
                               "天地玄黄宇宙洪荒日月盈昃辰宿列张寒来暑往秋收冬藏闰余成岁律吕调阳"});
    EXPECT_NE(keymap(xvfb), before); // lent keys stay lent while typing may go on
    EXPECT_TRUE(zel::test::waitUntil([&] { return keymap(xvfb) == before; }, 4s));
}

} // namespace
