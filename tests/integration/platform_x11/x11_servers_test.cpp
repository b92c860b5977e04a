// The X11 backends against the X servers users run, each a private Xvfb: no RandR, no XTEST,
// 16-, 24- and 30-bit screens (with and without MIT-SHM), and a server frozen by SIGSTOP.
#include "base/app_error.hpp"
#include "capture/main_process_screenshot.hpp"
#include "input/main_process_input.hpp"
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_input.hpp"
#include "tests/integration/platform_x11/x11_test_screen.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <bit>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <set>
#include <spng.h>
#include <unistd.h>

namespace {

namespace shot = zel::MainProcessScreenshot;
using Clock = std::chrono::steady_clock;
constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr std::uint32_t kColours[8] = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff,
                                       0x000000, 0x808080, 0x00ffff, 0xff00ff};

// Eight colour blocks in two rows on the root window's background; the connection is held.
[[nodiscard]] std::shared_ptr<zel::x11::Connection> paintRoot(const std::string& display) {
    std::vector<std::pair<xcb_rectangle_t, std::uint32_t>> blocks;
    for (int i = 0; i < 8; ++i) {
        blocks.push_back({{static_cast<std::int16_t>(i % 4 * kWidth / 4),
                           static_cast<std::int16_t>(i / 4 * kHeight / 2), kWidth / 4, kHeight / 2},
                          kColours[i]});
    }
    return zel::test::paintRoot(display, blocks);
}

// A PNG screenshot at full size shows every block's colour; short channels widen to within 8.
void expectBlocks(zel::CaptureBackend& backend, const std::string& label) {
    std::vector<std::uint8_t> bytes;
    try {
        bytes = shot::capture(backend, "png", kWidth, 62);
    } catch (const std::exception& error) {
        ADD_FAILURE() << label << ": " << error.what();
        return;
    }
    const zel::test::Rgb image = zel::test::decode(bytes);
    ASSERT_EQ(image.width, kWidth) << label;
    ASSERT_EQ(image.height, kHeight) << label;
    for (int i = 0; i < 8; ++i) {
        const int x = i % 4 * kWidth / 4 + kWidth / 8;
        const int y = i / 4 * kHeight / 2 + kHeight / 4;
        const std::uint8_t* seen = &image.pixels[(static_cast<std::size_t>(y) * kWidth + x) * 3];
        for (int channel = 0; channel < 3; ++channel) {
            EXPECT_NEAR(seen[channel], (kColours[i] >> (16 - 8 * channel)) & 0xff, 8)
                << label << " block " << i << " channel " << channel;
        }
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

// The Xvfb this process started (one runs at a time here).
pid_t serverPid() {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string pid, name, state;
        pid_t parent = 0;
        if (stat >> pid >> name >> state >> parent && name == "(Xvfb)" && parent == ::getpid()) {
            return std::stoi(pid);
        }
    }
    return 0;
}

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
    const auto painter = paintRoot(xvfb.display());
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

    // Frozen: every answer comes within the screenshot's 8 s and a margin, the capture threads
    // are given back, and both backends serve again once the server runs.
    const pid_t pid = serverPid();
    ASSERT_GT(pid, 0);
    const auto threadsBefore = threadCount();
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{pid};
    const auto timed = [](auto job) {
        return std::async(std::launch::async, [job] {
            const auto start = Clock::now();
            std::string outcome = "answered";
            try {
                job();
            } catch (const std::exception& error) {
                outcome = error.what();
            }
            return std::make_pair(std::chrono::duration<double>(Clock::now() - start).count(),
                                  outcome);
        });
    };
    const auto shoot = [&] { shot::capture(*capture, "png", kWidth, 62); };
    const auto press = [&] { zel::MainProcessInput::perform(*input, click); };
    // Four at once hold the control service's four capture threads; the fifth asks again, on a
    // connection that must be replaced.
    std::vector<std::future<std::pair<double, std::string>>> rounds;
    for (int i = 0; i < 4; ++i) {
        rounds.push_back(timed(shoot));
    }
    rounds.push_back(timed(press));
    const auto late = [&] {
        for (auto& round : rounds) {
            if (round.wait_until(Clock::now() + std::chrono::seconds(12)) !=
                std::future_status::ready) {
                return true;
            }
        }
        return false;
    };
    EXPECT_FALSE(late()) << "a request was still waiting 12 s after the server froze";
    rounds.push_back(timed(shoot));
    rounds.push_back(timed(press));
    EXPECT_FALSE(late()) << "a request on a fresh connection was still waiting after 12 s";
    ::kill(pid, SIGCONT);
    for (auto& round : rounds) {
        const auto [seconds, outcome] = round.get();
        std::printf("frozen server: %.2f s, %s\n", seconds, outcome.c_str());
        EXPECT_NE(outcome, "answered");
    }
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
        Server{"Depth24", {"-screen", "0", "640x480x24"}},
        Server{"Depth30", {"-screen", "0", "640x480x30"}},
        Server{"Depth30GetImage", {"-screen", "0", "640x480x30", "-extension", "MIT-SHM"}},
        Server{"NoXtest", {"-extension", "XTEST"}, Check::noXtest},
        Server{"Frozen", {}, Check::frozen}),
    [](const ::testing::TestParamInfo<Server>& info) { return std::string(info.param.name); });

} // namespace
