// The built app as a user without a monitor starts it: in a prefix of its own beside the real
// agent server and the stand-in tunnel client, under a private X server, with --start and its
// standard output in a file.
#pragma once

#include "tests/support/temp_dir.hpp"
#include "tests/support/terminal_output.hpp"
#include "tests/support/xvfb.hpp"

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace zel::test {

struct StartedApp {
    TempDir dir;
    std::filesystem::path out = dir.path() / "stdout.txt";
    std::filesystem::path bin = dir.path() / "prefix/share/zel-desktop-agent/bin";
    Xvfb xvfb{1280, 900};
    std::optional<Child> app;

    // `scenario` (JSON) scripts the tunnel client when given.
    explicit StartedApp(const std::filesystem::path& binary, const std::string& scenario = {}) {
        namespace fs = std::filesystem;
        const fs::path exe = dir.path() / "prefix/bin/zel-desktop-agent";
        fs::create_directories(exe.parent_path());
        fs::create_directories(bin);
        fs::copy_file(binary, exe);
        fs::create_directory_symlink(fs::path(ZEL_SOURCE_DIR) / "resources/agent",
                                     bin.parent_path() / "agent");
        fs::copy_file(fs::path(ZEL_SOURCE_DIR) / "tests/fixtures/cloudflared", bin / "cloudflared");
        if (!scenario.empty()) {
            std::ofstream(bin / "cloudflared.scenario") << scenario;
        }
        const std::string root = dir.path().string();
        for (const char* sub : {"state", "config", "home", "runtime"}) {
            fs::create_directories(dir.path() / sub);
        }
        fs::permissions(dir.path() / "runtime", fs::perms::owner_all);
        app.emplace(appWithOutputIn(exe, out),
                    std::vector<std::string>{"DISPLAY=" + xvfb.display(),
                                             "XDG_STATE_HOME=" + root + "/state",
                                             "XDG_CONFIG_HOME=" + root + "/config",
                                             "XDG_RUNTIME_DIR=" + root + "/runtime",
                                             "HOME=" + root + "/home", "QT_QPA_PLATFORM=xcb"});
    }

    [[nodiscard]] std::string output() const { return readFile(out); }
    [[nodiscard]] std::string log() const {
        return readFile(dir.path() / "state/zel-desktop-agent/agent.log");
    }
};

} // namespace zel::test
