// The whole app as a user meets it: a private X server, the built app in a resource tree of its
// own, the real agent server and a stand-in tunnel client; the button pressed with xdotool and the
// QR code read off the screen. Screenshots are left in the build tree for a person to look at.
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/wait.h>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zel::test::readFile;
using zel::test::runCommand;

bool waitUntil(const std::function<bool()>& done, std::chrono::seconds timeout) {
    for (const auto end = std::chrono::steady_clock::now() + timeout;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(200ms)) {
        if (done()) {
            return true;
        }
    }
    return done();
}

// `display` is "DISPLAY=:N".
std::string windowId(const std::string& display) {
    const auto found = runCommand(
        {"xdotool", "search", "--onlyvisible", "--name", "^Zel Desktop Agent$"}, {display});
    return found.output.substr(0, found.output.find('\n'));
}

// The button is the window's default control and keeps the focus, so Space presses it.
void pressButton(const std::string& display) {
    const std::string id = windowId(display);
    ASSERT_FALSE(id.empty());
    runCommand({"xdotool", "windowfocus", "--sync", id}, {display});
    runCommand({"xdotool", "key", "space"}, {display});
}

// The text of the QR code on screen, or empty when none can be read.
std::string qrOnScreen(const std::string& display, const std::string& name) {
    const fs::path screens = fs::path(ZEL_BUILD_DIR) / "e2e-screens";
    fs::create_directories(screens);
    const std::string file = (screens / (name + ".png")).string();
    runCommand({"import", "-window", "root", file}, {display});
    const auto decoded = runCommand({"zbarimg", "--quiet", "--raw", file});
    return decoded.exitStatus == 0 ? decoded.output.substr(0, decoded.output.find('\n')) : "";
}

// Zombies included: a helper nobody reaps counts.
std::vector<pid_t> childrenOf(pid_t pid) {
    std::istringstream in(runCommand({"pgrep", "-P", std::to_string(pid)}).output);
    return {std::istream_iterator<pid_t>(in), std::istream_iterator<pid_t>()};
}

bool alive(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno != ESRCH;
}

nlohmann::json readJSON(const fs::path& file) {
    return nlohmann::json::parse(readFile(file), nullptr, false);
}

struct Http {
    int status = 0;
    std::string body;
};

// curlOptions: headers, a body to post.
Http get(const std::string& url, std::vector<std::string> curlOptions = {}) {
    curlOptions.insert(curlOptions.begin(),
                       {"curl", "-s", "--max-time", "20", "-w", "\n%{http_code}", url});
    const std::string out = runCommand(curlOptions).output;
    const auto split = out.rfind('\n');
    return {std::atoi(out.c_str() + split + 1), out.substr(0, split)};
}

TEST(AppEndToEnd, PairStopFailRestartAndQuitLeaveNothingRunning) {
    // The built app in a prefix of its own: bin/zel-desktop-agent beside share/zel-desktop-agent
    // with node, the real agent server and the stand-in tunnel client.
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
    const fs::path log = dir.path() / "state/zel-desktop-agent/agent.log";
    const zel::test::Xvfb xvfb(1280, 900);
    const std::string display = "DISPLAY=" + xvfb.display();
    const std::string root = dir.path().string();
    zel::test::Child app({exe.string()}, {display, "XDG_STATE_HOME=" + root + "/state",
                                          "XDG_CONFIG_HOME=" + root + "/config",
                                          "XDG_RUNTIME_DIR=" + root + "/runtime",
                                          "HOME=" + root + "/home", "QT_QPA_PLATFORM=xcb"});
    ASSERT_TRUE(waitUntil([&] { return !windowId(display).empty(); }, 30s)) << "no window";
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(qrOnScreen(display, "idle"), "");

    pressButton(display);
    std::string link;
    ASSERT_TRUE(waitUntil([&] { return !(link = qrOnScreen(display, "ready")).empty(); }, 60s))
        << "no QR code on screen; log:\n"
        << readFile(log);
    // The token the agent stored where the app's environment told it; base64url needs no escapes.
    const std::string token =
        readJSON(dir.path() / "config/zel-desktop-agent/agent.json").value("token", "");
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(link, "zel://mac-control?url=https%3A%2F%2F"
                    "gentle-river-mosaic-lantern.trycloudflare.com%2F%3Ftoken%3D" +
                        token);
    const auto invocation = readJSON(bin / "cloudflared.invocation");
    ASSERT_TRUE(invocation.is_object()) << "the tunnel client was not started";
    EXPECT_EQ(invocation["argv"], nlohmann::json({"tunnel", "--url", "http://127.0.0.1:8787"}));

    // The control service answers the secret that the helpers were handed, and only that.
    const std::string shotURL = invocation["env"].value("ZEL_AGENT_SCREENSHOT_URL", "");
    ASSERT_EQ(shotURL.rfind("http://127.0.0.1:8788/screenshot?secret=", 0), 0U) << shotURL;
    const Http png = get(shotURL + "&format=png&width=640");
    EXPECT_EQ(png.status, 200);
    EXPECT_EQ(png.body.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(png.body.substr(16, 4), std::string("\0\0\x02\x80", 4)); // 640 wide
    EXPECT_EQ(get("http://127.0.0.1:8788/screenshot?secret=wrong").status, 403);

    // And the agent server, as the phone reaches it, gets a screen and moves the pointer.
    const std::string bearer = "Authorization: Bearer " + token;
    const Http jpeg =
        get("http://127.0.0.1:8787/api/screenshot?format=jpeg&width=480", {"-H", bearer});
    EXPECT_EQ(jpeg.status, 200);
    EXPECT_EQ(jpeg.body.substr(0, 2), "\xff\xd8");
    const Http moved = get("http://127.0.0.1:8787/api/input",
                           {"-H", bearer, "-H", "Content-Type: application/json", "--data-binary",
                            R"({"action":"move","coordinate":[500,500]})"});
    EXPECT_EQ(moved.status, 200) << moved.body;
    EXPECT_NE(moved.body.find("\"ok\":true"), std::string::npos) << moved.body;

    const pid_t tunnelPid = invocation.value("pid", 0);
    {
        // A crashed agent server is started again with the same token; the QR stays valid.
        const auto before = childrenOf(app.pid());
        ASSERT_EQ(before.size(), 2U);
        const pid_t server = before[0] == tunnelPid ? before[1] : before[0];
        ::kill(server, SIGKILL);
        const auto served = [&] {
            return get("http://127.0.0.1:8787/api/screenshot?width=320", {"-H", bearer}).status ==
                   200;
        };
        EXPECT_TRUE(waitUntil([&] { return !alive(server) && served(); }, 20s)) << readFile(log);
        EXPECT_NE(readFile(log).find("Agent server ended (signal 9); restarting"),
                  std::string::npos);
        EXPECT_EQ(qrOnScreen(display, "ready-after-restart"), link);
    }
    const auto helpers = childrenOf(app.pid());
    EXPECT_EQ(helpers.size(), 2U);
    ASSERT_NE(std::find(helpers.begin(), helpers.end(), tunnelPid), helpers.end());
    pressButton(display);
    EXPECT_TRUE(waitUntil([&] { return childrenOf(app.pid()).empty(); }, 15s))
        << "helpers still running after the stop";
    EXPECT_FALSE(alive(tunnelPid));

    // Without the tunnel client a start fails with its message and ends the server it launched.
    fs::rename(bin / "cloudflared", dir.path() / "cloudflared");
    pressButton(display);
    const std::string failure = "ERROR: 缺少 cloudflared，请重新获取完整安装包。\n";
    ASSERT_TRUE(waitUntil([&] { return readFile(log).find(failure) != std::string::npos; }, 30s))
        << readFile(log);
    EXPECT_TRUE(waitUntil([&] { return childrenOf(app.pid()).empty(); }, 15s));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(qrOnScreen(display, "failed"), "") << "a QR code is shown after a failure";

    fs::rename(dir.path() / "cloudflared", bin / "cloudflared");
    pressButton(display);
    ASSERT_TRUE(waitUntil([&] { return !qrOnScreen(display, "ready-again").empty(); }, 60s));
    const auto again = childrenOf(app.pid());
    EXPECT_EQ(again.size(), 2U);
    // SIGTERM ends the app normally, and its helpers with it.
    app.signal(SIGTERM);
    const auto status = app.waitFor(20s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    for (const pid_t helper : again) {
        EXPECT_TRUE(waitUntil([&] { return !alive(helper); }, 10s)) << "helper " << helper;
    }
}

} // namespace
