#include "tests/support/app_under_test.hpp"

#include "tests/support/command.hpp"

#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

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
    std::string stdoutPath = out.string();
    if (setup.terminal) {
        stdoutPath = openTerminal();
    }
    // exec keeps the app's pid.
    std::vector<std::string> argv = {"sh", "-c",       R"(out=$1; shift; exec "$@" >"$out")",
                                     "sh", stdoutPath, exe.string()};
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

AppUnderTest::~AppUnderTest() {
    if (app) {
        app.reset(); // ends the app, so the copier meets the terminal's end
    }
    if (terminalCopier.joinable()) {
        terminalCopier.request_stop();
        terminalCopier.join();
    }
    for (const int fd : {terminalSlave, terminalMaster}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

// A pseudo-terminal that passes lines as written (no CR added); a thread copies what the app
// writes into `out` without colour codes. Returns the path the app's output goes to.
std::string AppUnderTest::openTerminal() {
    terminalMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminalMaster < 0 || ::grantpt(terminalMaster) != 0 || ::unlockpt(terminalMaster) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    std::string slave = ::ptsname(terminalMaster);
    // Held open here too, so that reading never meets the end before the app has opened it.
    terminalSlave = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios modes{};
    ::tcgetattr(terminalSlave, &modes);
    modes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    ::tcsetattr(terminalSlave, TCSANOW, &modes);
    terminalCopier = std::jthread([this](const std::stop_token& stop) {
        std::ofstream file(out, std::ios::binary);
        std::array<char, 4096> buffer{};
        bool inEscape = false;
        while (!stop.stop_requested()) {
            pollfd ready{terminalMaster, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) {
                continue;
            }
            const ssize_t got = ::read(terminalMaster, buffer.data(), buffer.size());
            if (got <= 0) {
                return;
            }
            for (ssize_t i = 0; i < got; ++i) {
                const char c = buffer[static_cast<std::size_t>(i)];
                if (c == '\x1b') {
                    inEscape = true;
                } else if (inEscape) {
                    inEscape = std::isalpha(static_cast<unsigned char>(c)) == 0;
                } else {
                    file.put(c);
                }
            }
            file.flush();
        }
    });
    return slave;
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

std::string AppUnderTest::agentVariable(const std::string& name) const {
    for (const pid_t pid : helpers()) {
        const std::string proc = "/proc/" + std::to_string(pid);
        if (readFile(proc + "/cmdline").find("src/server.js") == std::string::npos) {
            continue;
        }
        std::istringstream entries(readFile(proc + "/environ"));
        for (std::string entry; std::getline(entries, entry, '\0');) {
            if (entry.starts_with(name + "=")) {
                return entry.substr(name.size() + 1);
            }
        }
    }
    return {};
}

} // namespace zel::test
