// The whole app as a user meets it: a private X server, the built app in a resource tree of its
// own, the real agent server and a stand-in tunnel client; the button pressed with xdotool and the
// QR code read off the screen. Screenshots are left in the build tree for a person to look at.
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/wait.h>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zel::test::runCommand;

const fs::path kScreens = fs::path(ZEL_BUILD_DIR) / "e2e-screens";
constexpr const char* kTunnelHost = "gentle-river-mosaic-lantern.trycloudflare.com";

// The built app in a prefix of its own: bin/zel-desktop-agent beside share/zel-desktop-agent with
// node, the real agent server and, when asked, the stand-in tunnel client.
struct AppTree {
    explicit AppTree(bool withTunnel) {
        const fs::path share = dir.path() / "prefix/share/zel-desktop-agent";
        fs::create_directories(dir.path() / "prefix/bin");
        fs::create_directories(share / "bin");
        fs::copy_file(ZEL_APP_BINARY, exe);
        fs::create_symlink("/usr/bin/node", share / "bin/node");
        fs::create_directory_symlink(fs::path(ZEL_SOURCE_DIR) / "resources/agent", share / "agent");
        if (withTunnel) {
            fs::copy_file(fs::path(ZEL_SOURCE_DIR) / "tests/fixtures/cloudflared",
                          share / "bin/cloudflared");
        }
        invocation = share / "bin/cloudflared.invocation";
        for (const char* sub : {"state", "config", "home", "runtime"}) {
            fs::create_directories(dir.path() / sub);
        }
        fs::permissions(dir.path() / "runtime", fs::perms::owner_all);
    }

    [[nodiscard]] std::vector<std::string> env(const std::string& display) const {
        return {"DISPLAY=" + display,
                "XDG_STATE_HOME=" + (dir.path() / "state").string(),
                "XDG_CONFIG_HOME=" + (dir.path() / "config").string(),
                "XDG_RUNTIME_DIR=" + (dir.path() / "runtime").string(),
                "HOME=" + (dir.path() / "home").string(),
                "QT_QPA_PLATFORM=xcb"};
    }
    [[nodiscard]] fs::path log() const { return dir.path() / "state/zel-desktop-agent/agent.log"; }

    zel::test::TempDir dir;
    fs::path exe = dir.path() / "prefix/bin/zel-desktop-agent";
    fs::path invocation;
};

bool waitUntil(const std::function<bool()>& done, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(200ms);
    }
    return done();
}

std::string windowId(const std::string& display) {
    const auto found =
        runCommand({"xdotool", "search", "--onlyvisible", "--name", "^Zel Desktop Agent$"},
                   {"DISPLAY=" + display});
    return found.output.substr(0, found.output.find('\n'));
}

// The button is the window's default control and keeps the focus, so Space presses it.
void pressButton(const std::string& display) {
    const std::string id = windowId(display);
    ASSERT_FALSE(id.empty());
    runCommand({"xdotool", "windowfocus", "--sync", id}, {"DISPLAY=" + display});
    runCommand({"xdotool", "key", "space"}, {"DISPLAY=" + display});
}

fs::path screenshot(const std::string& display, const std::string& name) {
    fs::create_directories(kScreens);
    fs::path file = kScreens / (name + ".png");
    runCommand({"import", "-window", "root", file.string()}, {"DISPLAY=" + display});
    return file;
}

// The text of the QR code on screen, or empty when none can be read.
std::string qrOnScreen(const std::string& display, const std::string& name) {
    const auto decoded = runCommand({"zbarimg", "--quiet", "--raw", screenshot(display, name)});
    return decoded.exitStatus == 0 ? decoded.output.substr(0, decoded.output.find('\n')) : "";
}

std::set<pid_t> childrenOf(pid_t pid) {
    std::set<pid_t> children;
    std::error_code ignored;
    for (const auto& task :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
        std::ifstream in(task.path() / "children");
        for (pid_t child = 0; in >> child;) {
            children.insert(child);
        }
    }
    return children;
}

bool alive(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno != ESRCH;
}

nlohmann::json readJSON(const fs::path& file) {
    return nlohmann::json::parse(zel::test::readFile(file), nullptr, false);
}

struct Http {
    int status = 0;
    std::string body;
};

Http get(const std::string& url, const std::vector<std::string>& headers = {},
         const std::string& postBody = "") {
    const zel::test::TempDir dir;
    const fs::path out = dir.path() / "body";
    std::vector<std::string> argv = {"curl", "-s",           "-o",         out.string(),
                                     "-w",   "%{http_code}", "--max-time", "20"};
    for (const auto& header : headers) {
        argv.insert(argv.end(), {"-H", header});
    }
    if (!postBody.empty()) {
        argv.insert(argv.end(), {"--data-binary", postBody});
    }
    argv.push_back(url);
    const auto result = runCommand(argv);
    return {std::atoi(result.output.c_str()), zel::test::readFile(out)};
}

// Written out here rather than taken from the app, so the link on screen is checked independently.
std::string percentEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out += {'%', kHex[c >> 4U], kHex[c & 0x0FU]};
        }
    }
    return out;
}

// Under a private X server, the app of a fresh tree with its window up.
struct RunningApp {
    explicit RunningApp(bool withTunnel)
        : tree(withTunnel), app({tree.exe.string()}, tree.env(xvfb.display())) {
        EXPECT_TRUE(waitUntil([&] { return !windowId(xvfb.display()).empty(); }, 30s))
            << "no window";
        std::this_thread::sleep_for(500ms);
    }

    // SIGTERM ends the app normally, with exit status 0.
    void quit() {
        app.signal(SIGTERM);
        const auto status = app.waitFor(20s);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    }

    zel::test::Xvfb xvfb{1280, 900};
    AppTree tree;
    zel::test::Child app;
};

TEST(AppEndToEnd, PairStopStartAndQuitLeaveNothingRunning) {
    RunningApp running(true);
    const std::string& display = running.xvfb.display();
    const AppTree& tree = running.tree;
    zel::test::Child& app = running.app;
    screenshot(display, "idle");

    pressButton(display);
    std::string link;
    ASSERT_TRUE(waitUntil([&] { return !(link = qrOnScreen(display, "ready")).empty(); }, 60s))
        << "no QR code on screen; log:\n"
        << zel::test::readFile(tree.log());

    const auto invocation = readJSON(tree.invocation);
    ASSERT_TRUE(invocation.is_object()) << "the tunnel client was not started";
    // The agent's token, asked of the agent the way the app asks, in the helpers' environment.
    std::vector<std::string> query = {"env", "-i"};
    for (const auto& [name, value] : invocation["env"].items()) {
        query.push_back(name + "=" + value.get<std::string>());
    }
    const std::string script = "cd \"$1\" && node --input-type=module -e "
                               "\"import('./src/config.js')"
                               ".then(({ loadConfig }) => console.log(loadConfig().token))\"";
    query.insert(query.end(), {"sh", "-c", script, "sh",
                               (fs::path(ZEL_SOURCE_DIR) / "resources/agent").string()});
    const auto tokenQuery = runCommand(query);
    ASSERT_EQ(tokenQuery.exitStatus, 0);
    const std::string token = tokenQuery.output.substr(0, tokenQuery.output.find('\n'));
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(link, "zel://mac-control?url=" +
                        percentEncode(std::string("https://") + kTunnelHost + "/?token=" + token));
    EXPECT_EQ(invocation["argv"], nlohmann::json({"tunnel", "--url", "http://127.0.0.1:8787"}));

    // The control service answers the secret that the helpers were handed, and only that.
    const std::string shotURL = invocation["env"].value("ZEL_AGENT_SCREENSHOT_URL", "");
    ASSERT_EQ(shotURL.rfind("http://127.0.0.1:8788/screenshot?secret=", 0), 0U) << shotURL;
    const Http png = get(shotURL + "&format=png&width=640");
    EXPECT_EQ(png.status, 200);
    EXPECT_EQ(png.body.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(get("http://127.0.0.1:8788/screenshot?secret=wrong").status, 403);

    // And the agent server, as the phone reaches it, gets a screen and moves the pointer.
    const std::string bearer = "Authorization: Bearer " + token;
    const Http jpeg = get("http://127.0.0.1:8787/api/screenshot?format=jpeg&width=480", {bearer});
    EXPECT_EQ(jpeg.status, 200);
    EXPECT_EQ(jpeg.body.substr(0, 2), "\xff\xd8");
    const Http moved =
        get("http://127.0.0.1:8787/api/input", {bearer, "Content-Type: application/json"},
            R"({"action":"move","coordinate":[500,500]})");
    EXPECT_EQ(moved.status, 200) << moved.body;
    EXPECT_NE(moved.body.find("\"ok\":true"), std::string::npos) << moved.body;

    const std::set<pid_t> helpers = childrenOf(app.pid());
    EXPECT_EQ(helpers.size(), 2U);
    const pid_t tunnelPid = invocation.value("pid", 0);
    ASSERT_TRUE(helpers.contains(tunnelPid));

    pressButton(display);
    EXPECT_TRUE(waitUntil([&] { return childrenOf(app.pid()).empty(); }, 15s))
        << "helpers still running after the stop";
    EXPECT_FALSE(alive(tunnelPid));

    fs::remove(tree.invocation);
    pressButton(display);
    ASSERT_TRUE(waitUntil([&] { return !qrOnScreen(display, "ready-again").empty(); }, 60s));
    const std::set<pid_t> again = childrenOf(app.pid());
    EXPECT_EQ(again.size(), 2U);

    running.quit();
    for (const pid_t helper : again) {
        EXPECT_TRUE(waitUntil([&] { return !alive(helper); }, 10s)) << "helper " << helper;
    }
}

TEST(AppEndToEnd, MissingTunnelClientFailsWithItsMessageAndLeavesNothingRunning) {
    RunningApp running(false);
    const std::string& display = running.xvfb.display();
    const AppTree& tree = running.tree;
    zel::test::Child& app = running.app;

    pressButton(display);
    const std::string expected = "ERROR: 缺少 cloudflared，请重新获取完整安装包。\n";
    ASSERT_TRUE(waitUntil(
        [&] { return zel::test::readFile(tree.log()).find(expected) != std::string::npos; }, 30s))
        << zel::test::readFile(tree.log());
    EXPECT_TRUE(waitUntil([&] { return childrenOf(app.pid()).empty(); }, 15s));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(qrOnScreen(display, "failed"), "") << "a QR code is shown after a failure";

    running.quit();
}

} // namespace
