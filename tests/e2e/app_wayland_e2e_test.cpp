// The built app on a headless sway with no X server: started with --start, it serves the
// compositor's screen, its changes and input through the agent server as the phone reaches it,
// and its log names the platform. A recording client (wev) shows where the click landed.
#include "tests/support/command.hpp"
#include "tests/support/sway.hpp"
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

std::string get(const std::string& url, std::vector<std::string> curlOptions = {}) {
    curlOptions.insert(curlOptions.begin(), {"curl", "-s", "-f", "--max-time", "20", url});
    return zel::test::runCommand(curlOptions).output;
}

TEST(AppOnWayland, ServesTheCompositorsScreenAndInput) {
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

    const zel::test::Sway sway("for_window [app_id=\"wev\"] fullscreen enable");
    // The compositor's socket by its full path: the app keeps a runtime directory of its own.
    const std::vector<std::string> env = {"WAYLAND_DISPLAY=" + sway.socket(),
                                          "DISPLAY=",
                                          "XDG_STATE_HOME=" + root + "/state",
                                          "XDG_CONFIG_HOME=" + root + "/config",
                                          "XDG_RUNTIME_DIR=" + root + "/runtime",
                                          "HOME=" + root + "/home",
                                          "QT_QPA_PLATFORM=offscreen"};
    zel::test::Child app({exe.string(), "--start"}, env);
    const fs::path invocationFile = bin / "cloudflared.invocation";
    ASSERT_TRUE(waitUntil([&] { return fs::exists(invocationFile); }, 60s)) << "not started";
    const fs::path log = dir.path() / "state/zel-desktop-agent/agent.log";
    EXPECT_TRUE(waitUntil(
        [&] {
            return readFile(log).find("Platform: Wayland (" + sway.socket() + ").") !=
                   std::string::npos;
        },
        10s))
        << readFile(log);
    const auto invocation = nlohmann::json::parse(readFile(invocationFile));
    const std::string shotURL = invocation["env"].value("ZEL_AGENT_SCREENSHOT_URL", "");
    ASSERT_FALSE(shotURL.empty());

    // The compositor's background, as only the Wayland capture sees it (there is no X server).
    const fs::path png = dir.path() / "shot.png";
    zel::test::runCommand(
        {"curl", "-s", "-f", "-o", png.string(), shotURL + "&format=png&width=1920"});
    EXPECT_EQ(
        zel::test::runCommand({"convert", png.string(), "-format", "%[hex:p{960,540}]", "info:"})
            .output,
        "204080");

    // The live view's long poll: the whole frame first, then what the compositor drew since.
    std::string tilesURL = shotURL;
    tilesURL.replace(tilesURL.find("/screenshot?"), 12, "/tiles?");
    const auto tilesHead = [&](long long since) {
        const std::string body =
            get(tilesURL + "&width=960&wait=5000&since=" + std::to_string(since));
        return nlohmann::json::parse(body.substr(0, body.find('\n')), nullptr, false);
    };
    const auto first = tilesHead(0);
    ASSERT_TRUE(first.is_object()) << first;
    EXPECT_TRUE(first.value("full", false)) << first;

    const std::string wevLog = sway.path("wev.log");
    const zel::test::Child wev({"sh", "-c", "exec stdbuf -oL wev >\"$0\" 2>&1", wevLog},
                               sway.clientEnv());
    ASSERT_TRUE(
        waitUntil([&] { return readFile(wevLog).find("fullscreen") != std::string::npos; }, 10s));
    std::string token;
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto stored = nlohmann::json::parse(
                readFile(dir.path() / "config/zel-desktop-agent/agent.json"), nullptr, false);
            token = stored.is_object() ? stored.value("token", "") : "";
            return !token.empty();
        },
        10s));
    const std::string answer =
        get("http://127.0.0.1:8787/api/input",
            {"-H", "Authorization: Bearer " + token, "-H", "Content-Type: application/json",
             "--data-binary", R"({"action":"click","coordinate":[250,750]})"});
    EXPECT_NE(answer.find("\"ok\":true"), std::string::npos) << answer;
    EXPECT_NE(answer.find("\"width\":1920"), std::string::npos) << answer;
    EXPECT_TRUE(waitUntil(
        [&] {
            const std::string events = readFile(wevLog);
            const auto motion = events.find("x, y: 480.000000, 810.000000");
            return motion != std::string::npos &&
                   events.find("state: 0 (released)", events.find("button: 272", motion)) !=
                       std::string::npos;
        },
        10s))
        << readFile(wevLog);
    // wev's window and the click's cursor move were drawn after the first answer.
    const auto drawn = tilesHead(first.value("sequence", 0LL));
    EXPECT_FALSE(drawn.value("tiles", nlohmann::json::array()).empty()) << drawn;
}

} // namespace
