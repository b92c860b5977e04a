// The Debian package as a user gets it: built by cpack from this build tree, its dependencies, no
// dev module in it, lintian's verdict, and the app unpacked with dpkg-deb -x into a temporary root
// and started from there under a private X server: it finds the agent server of the package, which
// serves a terminal with the session's token (the screen's way through it: the other end-to-end
// tests).
#include "tests/support/app_under_test.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/terminal_output.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zel::test::readFile;
using zel::test::runCommand;
using zel::test::waitUntil;

const std::string kResources = "./usr/share/zel-desktop-agent/";

class Package : public testing::Test {
protected:
    // Built once for the whole program: cpack takes a few seconds, lintian longer.
    static void SetUpTestSuite() {
        dir_ = std::make_unique<zel::test::TempDir>();
        const auto packed = runCommand({ZEL_CPACK_COMMAND, "-G", "DEB", "--config",
                                        std::string(ZEL_BUILD_DIR) + "/CPackConfig.cmake", "-B",
                                        (dir_->path() / "out").string()});
        ASSERT_EQ(packed.exitStatus, 0) << packed.output;
        for (const auto& file : fs::directory_iterator(dir_->path() / "out")) {
            if (file.path().extension() == ".deb") {
                deb_ = file.path();
            }
        }
        std::istringstream list(
            runCommand({"sh", "-c", R"(dpkg-deb --fsys-tarfile "$0" | tar -t)", deb_.string()})
                .output);
        for (std::string path; std::getline(list, path);) {
            paths_.push_back(path);
        }
    }
    static void TearDownTestSuite() { dir_.reset(); }

    static inline std::unique_ptr<zel::test::TempDir> dir_;
    static inline fs::path deb_;
    static inline std::vector<std::string> paths_;
};

TEST_F(Package, DependsOnWhatItLinksAndRunsAndPassesLintian) {
    ASSERT_FALSE(deb_.empty()) << "cpack made no .deb";
    const auto depends = runCommand({"dpkg-deb", "-f", deb_.string(), "Depends"}).output;
    // One found from the shared libraries, the others named by hand.
    for (const char* needed : {"libqt6widgets6", "nodejs (>= 20)", "wl-clipboard"}) {
        EXPECT_NE(depends.find(needed), std::string::npos) << needed << " in " << depends;
    }
    // The tunnel client, no Debian package, is named for the user to find.
    EXPECT_EQ(runCommand({"dpkg-deb", "-f", deb_.string(), "Suggests"}).output, "cloudflared\n");
    const auto verdict = runCommand({"lintian", "--tag-display-limit", "0", deb_.string()});
    ASSERT_NE(verdict.exitStatus, -1) << "lintian did not run: ./scripts/setup installs it";
    EXPECT_EQ(verdict.output.find("E: "), std::string::npos) << verdict.output;
    EXPECT_EQ(verdict.exitStatus, 0) << verdict.output;
}

// The agent server's dev modules (those package-lock.json marks so) stay out of the package.
TEST_F(Package, HoldsNoDevModule) {
    ASSERT_FALSE(paths_.empty());
    std::vector<std::string> devModules;
    const auto lock = nlohmann::json::parse(
        readFile(fs::path(ZEL_SOURCE_DIR) / "resources/agent/package-lock.json"));
    for (const auto& [module, info] : lock["packages"].items()) {
        if (info.value("dev", false)) {
            devModules.push_back(kResources + "agent/" + module + "/");
        }
    }
    ASSERT_FALSE(devModules.empty()) << "package-lock.json marks no dev module any more";
    for (const auto& path : paths_) {
        for (const auto& dev : devModules) {
            EXPECT_NE(path.rfind(dev, 0), 0U) << "a dev module: " << path;
        }
    }
}

TEST_F(Package, UnpackedAppServesAScreenAndATerminalFromItsOwnAgentServer) {
    ASSERT_FALSE(deb_.empty());
    const fs::path root = dir_->path() / "root";
    ASSERT_EQ(runCommand({"dpkg-deb", "-x", deb_.string(), root.string()}).exitStatus, 0);
    // No file of the package names the machine it was built on (text files: the resources).
    const auto named =
        runCommand({"grep", "-rlIF", "-e", ZEL_SOURCE_DIR, "-e", ZEL_BUILD_DIR, root.string()});
    EXPECT_EQ(named.output, "") << "files naming the build machine's paths";

    // The tunnel client goes where a user puts it; node comes from the system.
    zel::test::AppSetup setup;
    setup.arguments = {"--start"};
    setup.environment = {"SHELL=/bin/sh"};
    setup.installed = root / "usr";
    setup.terminal = true;
    const zel::test::AppUnderTest app(setup);
    ASSERT_TRUE(waitUntil(
        [&] { return zel::test::lineStartingWith(app.output(), "zel://").has_value(); }, 60s))
        << app.output() << "\nlog:\n"
        << app.log();

    // The agent server that runs is the package's.
    EXPECT_EQ(app.agentVariable("ZEL_AGENT_HELPER_BIN_DIR"), app.bin.string());
    const auto helpers = app.helpers();
    EXPECT_TRUE(std::any_of(helpers.begin(), helpers.end(), [&](pid_t pid) {
        std::error_code error;
        return fs::read_symlink("/proc/" + std::to_string(pid) + "/cwd", error) ==
               root / "usr/share/zel-desktop-agent/agent";
    }));

    const std::string token = app.token();
    ASSERT_FALSE(token.empty());

    // A shell in a pseudo-terminal: node-pty's module, moved under /usr/lib, loads through its
    // link.
    const std::string client = R"(
        import WebSocket from 'ws';
        const ws = new WebSocket(`ws://127.0.0.1:8787/api/terminal?token=${process.env.TOKEN}`);
        let seen = '';
        const timer = setTimeout(() => { console.log(seen); process.exit(1); }, 20000);
        ws.on('open', () => ws.send(JSON.stringify({type: 'input', data: 'echo zel-$((6*7))\r'})));
        ws.on('message', (data) => {
          seen += data;
          if (seen.includes('zel-42')) { console.log('ok'); clearTimeout(timer); ws.close(); }
        });
        ws.on('close', () => process.exit(seen.includes('zel-42') ? 0 : 1));
    )";
    const fs::path script = root / "usr/share/zel-desktop-agent/agent/terminal-check.mjs";
    std::ofstream(script) << client;
    const auto terminal = runCommand({"node", script.string()}, {"TOKEN=" + token});
    EXPECT_EQ(terminal.exitStatus, 0) << terminal.output;
}

} // namespace
