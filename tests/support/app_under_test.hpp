// The built app as a user meets it: bin/zel-desktop-agent in a prefix of its own beside
// share/zel-desktop-agent with node, an agent server (the real one unless told) and the stand-in
// tunnel client; a private X server, XDG directories of its own, standard output in a file.
#pragma once

#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace zel::test {

struct AppSetup {
    std::vector<std::string> arguments;   // e.g. "--start"
    std::vector<std::string> environment; // "NAME=value", added to the app's
    std::filesystem::path agent = std::filesystem::path(ZEL_SOURCE_DIR) / "resources/agent";
    // An installed prefix (bin/zel-desktop-agent beside share/zel-desktop-agent/) run as it is,
    // given only the stand-in tunnel client.
    std::filesystem::path installed;
    // Standard output on a terminal (a pseudo-terminal whose output the test copies into `out`,
    // colour codes removed) rather than a file.
    bool terminal = false;
};

class AppUnderTest {
public:
    explicit AppUnderTest(AppSetup setup = {});
    AppUnderTest(const AppUnderTest&) = delete;
    AppUnderTest& operator=(const AppUnderTest&) = delete;
    ~AppUnderTest();

    TempDir dir;
    std::filesystem::path bin; // the helpers' folder: share/zel-desktop-agent/bin
    std::filesystem::path out = dir.path() / "stdout.txt";
    Xvfb xvfb{1280, 900};
    std::optional<Child> app;
    // The terminal's side that the test reads, and the copier; only with AppSetup::terminal.
    int terminalMaster = -1;
    int terminalSlave = -1;
    std::jthread terminalCopier;

    // "DISPLAY=:N"
    [[nodiscard]] std::string display() const { return "DISPLAY=" + xvfb.display(); }
    [[nodiscard]] std::string output() const;
    [[nodiscard]] std::string log() const;
    // The stand-in's record of its last start.
    [[nodiscard]] std::filesystem::path tunnelInvocation() const;
    // The token the agent stored where the app's environment told it, or empty while there is none.
    [[nodiscard]] std::string token() const;

    // The visible window's id, or empty.
    [[nodiscard]] std::string windowId() const;
    // The button is the window's default control and keeps the focus, so Space presses it.
    bool pressButton() const;
    // The text of the QR code on screen, or empty; the screenshot is left in the build tree.
    [[nodiscard]] std::string qrOnScreen(const std::string& name) const;
    // The app's child processes, zombies included (a helper nobody reaps counts).
    [[nodiscard]] std::vector<pid_t> helpers() const;
    // A variable of the running agent server's environment (the control service's addresses
    // reach it alone), or empty.
    [[nodiscard]] std::string agentVariable(const std::string& name) const;

private:
    std::string openTerminal();
};

} // namespace zel::test
