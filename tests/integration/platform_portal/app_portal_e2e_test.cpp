// The built app on a headless mutter with no X server: started with --start, it names the portal
// as its platform, answers with the waiting text until the user allows sharing, then serves the
// screen and input through the agent server as the phone reaches it.
#include "tests/support/command.hpp"
#include "tests/support/mutter.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zel::test::readFile;

bool waitUntil(const std::function<bool()>& done, std::chrono::seconds timeout) {
    for (const auto end = std::chrono::steady_clock::now() + timeout;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(100ms)) {
        if (done()) {
            return true;
        }
    }
    return done();
}

std::string curl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"curl", "-s", "--max-time", "20"});
    return zel::test::runCommand(arguments).output;
}

TEST(AppOnPortal, ServesTheScreenAndInputOnceAllowed) {
    const zel::test::TempDir dir;
    const fs::path exe = dir.path() / "prefix/bin/zel-desktop-agent";
    const fs::path bin = dir.path() / "prefix/share/zel-desktop-agent/bin";
    fs::create_directories(exe.parent_path());
    fs::create_directories(bin);
    fs::copy_file(ZEL_APP_BINARY, exe);
    fs::create_symlink("/usr/bin/node", bin / "node");
    fs::create_directory_symlink(fs::path(ZEL_SOURCE_DIR) / "resources/agent",
                                 bin.parent_path() / "agent");
    fs::copy_file(fs::path(ZEL_SOURCE_DIR) / "tests/fixtures/cloudflared", bin / "cloudflared");
    for (const char* sub : {"state", "config", "home", "runtime"}) {
        fs::create_directories(dir.path() / sub);
    }
    fs::permissions(dir.path() / "runtime", fs::perms::owner_all);
    const std::string root = dir.path().string();

    zel::test::Mutter mutter;
    const std::string socket = mutter.clientEnv()[2].substr(std::string("WAYLAND_DISPLAY=").size());
    const zel::test::Child app(
        {exe.string(), "--start"},
        {"WAYLAND_DISPLAY=" + socket, "DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=" + mutter.busAddress(),
         "XDG_STATE_HOME=" + root + "/state", "XDG_CONFIG_HOME=" + root + "/config",
         "XDG_RUNTIME_DIR=" + root + "/runtime", "HOME=" + root + "/home",
         "QT_QPA_PLATFORM=offscreen"});
    const fs::path invocationFile = bin / "cloudflared.invocation";
    ASSERT_TRUE(waitUntil([&] { return fs::exists(invocationFile); }, 60s)) << "not started";
    const fs::path log = dir.path() / "state/zel-desktop-agent/agent.log";
    EXPECT_NE(readFile(log).find("Platform: Wayland (" + socket + ") through the desktop portal."),
              std::string::npos)
        << readFile(log);
    const auto invocation = nlohmann::json::parse(readFile(invocationFile));
    const std::string shotURL =
        invocation["env"].value("ZEL_AGENT_SCREENSHOT_URL", "") + "&format=png&width=1920";
    std::string token;
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto stored = nlohmann::json::parse(
                readFile(dir.path() / "config/zel-desktop-agent/agent.json"), nullptr, false);
            token = stored.is_object() ? stored.value("token", "") : "";
            return !token.empty();
        },
        10s));
    const auto move = [&] {
        return curl({"http://127.0.0.1:8787/api/input", "-H", "Authorization: Bearer " + token,
                     "-H", "Content-Type: application/json", "--data-binary",
                     R"({"action":"move","coordinate":[500,500]})"});
    };

    // The connection start asked the portal: until the answer, the requests say so.
    EXPECT_NE(curl({shotURL}).find("Waiting for the user to allow screen sharing"),
              std::string::npos);
    const fs::path png = dir.path() / "shot.png";
    ASSERT_TRUE(mutter.answerDialog(zel::test::Mutter::Dialog::screen, true, [&] {
        return zel::test::runCommand({"curl", "-s", "-f", "-o", png.string(), shotURL})
                   .exitStatus == 0;
    }));
    EXPECT_EQ(zel::test::runCommand({"convert", png.string(), "-format", "%w %h", "info:"}).output,
              "1920 1080");
    EXPECT_NE(move().find("Waiting for the user to allow remote control"), std::string::npos);
    // The screen is shared by now: the clicks wait until the dialog shows in it.
    const auto shown = [&] {
        zel::test::runCommand({"curl", "-s", "-f", "-o", png.string(), shotURL});
        return zel::test::dialogShown([&](int x, int y) {
            const std::string hex =
                zel::test::runCommand(
                    {"convert", png.string(), "-format",
                     "%[hex:p{" + std::to_string(x) + "," + std::to_string(y) + "}]", "info:"})
                    .output;
            const auto channel = [&](std::size_t at) {
                return hex.size() >= at + 2 ? std::stoi(hex.substr(at, 2), nullptr, 16) : 0;
            };
            return std::array<int, 3>{channel(0), channel(2), channel(4)};
        });
    };
    ASSERT_TRUE(mutter.answerDialog(
        zel::test::Mutter::Dialog::control, true,
        [&] { return move().find("\"ok\":true") != std::string::npos; }, shown));
}

} // namespace
