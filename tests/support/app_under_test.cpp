#include "tests/support/app_under_test.hpp"

#include "tests/support/command.hpp"

#include <cerrno>
#include <csignal>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

namespace zel::test {

namespace fs = std::filesystem;

AppUnderTest::AppUnderTest(AppSetup setup) {
    const fs::path prefix = setup.installed.empty() ? dir.path() / "prefix" : setup.installed;
    const fs::path exe = prefix / "bin/zel-desktop-agent";
    bin = prefix / "share/zel-desktop-agent/bin";
    fs::create_directories(bin);
    if (setup.installed.empty()) {
        fs::create_directories(exe.parent_path());
        fs::copy_file(ZEL_APP_BINARY, exe);
        fs::create_symlink("/usr/bin/node", bin / "node");
        fs::create_directory_symlink(setup.agent, bin.parent_path() / "agent");
    }
    fs::copy_file(fs::path(ZEL_SOURCE_DIR) / "tests/fixtures/cloudflared", bin / "cloudflared");
    const std::string root = dir.path().string();
    for (const char* sub : {"state", "config", "home", "runtime"}) {
        fs::create_directories(dir.path() / sub);
    }
    fs::permissions(dir.path() / "runtime", fs::perms::owner_all);
    // exec keeps the app's pid.
    std::vector<std::string> argv = {"sh", "-c",         R"(out=$1; shift; exec "$@" >"$out")",
                                     "sh", out.string(), exe.string()};
    argv.insert(argv.end(), setup.arguments.begin(), setup.arguments.end());
    std::vector<std::string> env = {display(),
                                    "XDG_STATE_HOME=" + root + "/state",
                                    "XDG_CONFIG_HOME=" + root + "/config",
                                    "XDG_RUNTIME_DIR=" + root + "/runtime",
                                    "HOME=" + root + "/home",
                                    "QT_QPA_PLATFORM=xcb"};
    env.insert(env.end(), setup.environment.begin(), setup.environment.end());
    app.emplace(argv, env);
}

std::string AppUnderTest::output() const {
    return readFile(out);
}

std::string AppUnderTest::log() const {
    return readFile(dir.path() / "state/zel-desktop-agent/agent.log");
}

fs::path AppUnderTest::tunnelInvocation() const {
    return bin / "cloudflared.invocation";
}

std::string AppUnderTest::token() const {
    const auto stored = nlohmann::json::parse(
        readFile(dir.path() / "config/zel-desktop-agent/agent.json"), nullptr, false);
    return stored.is_object() ? stored.value("token", "") : "";
}

std::string AppUnderTest::windowId() const {
    const auto found = runCommand(
        {"xdotool", "search", "--onlyvisible", "--name", "^Zel Desktop Agent$"}, {display()});
    return found.output.substr(0, found.output.find('\n'));
}

bool AppUnderTest::pressButton() const {
    const std::string id = windowId();
    if (id.empty()) {
        return false;
    }
    runCommand({"xdotool", "windowfocus", "--sync", id}, {display()});
    return runCommand({"xdotool", "key", "space"}, {display()}).exitStatus == 0;
}

std::string AppUnderTest::qrOnScreen(const std::string& name) const {
    const fs::path screens = fs::path(ZEL_BUILD_DIR) / "e2e-screens";
    fs::create_directories(screens);
    const std::string file = (screens / (name + ".png")).string();
    runCommand({"import", "-window", "root", file}, {display()});
    const auto decoded = runCommand({"zbarimg", "--quiet", "--raw", file});
    return decoded.exitStatus == 0 ? decoded.output.substr(0, decoded.output.find('\n')) : "";
}

std::vector<pid_t> AppUnderTest::helpers() const {
    std::istringstream in(runCommand({"pgrep", "-P", std::to_string(app->pid())}).output);
    return {std::istream_iterator<pid_t>(in), std::istream_iterator<pid_t>()};
}

bool alive(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno != ESRCH;
}

} // namespace zel::test
