// A private headless sway for tests: pixman rendering, no input devices, one 1920×1080 output
// at 0,0, in a runtime directory of its own. sway refuses to run as root, so as root it runs as
// nobody; our clients may still connect to its socket.
#pragma once

#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"

#include <string>
#include <sys/types.h>
#include <vector>

namespace zel::test {

class Sway {
public:
    // Starts sway with the config lines added to ours and waits until its output is up.
    explicit Sway(const std::string& extraConfig = {});
    Sway(const Sway&) = delete;
    Sway& operator=(const Sway&) = delete;
    ~Sway();

    // The absolute socket path, for WAYLAND_DISPLAY or a backend's socket argument.
    [[nodiscard]] const std::string& socket() const { return socket_; }
    // XDG_RUNTIME_DIR, WAYLAND_DISPLAY and SWAYSOCK for a client of this compositor.
    [[nodiscard]] std::vector<std::string> clientEnv() const;
    // swaymsg against this compositor.
    CommandResult message(const std::vector<std::string>& args) const;
    // A file in the test's directory, for the output of clients.
    [[nodiscard]] std::string path(const std::string& name) const;

private:
    TempDir dir_;
    std::string runtimeDir_;
    std::string socket_;
    std::string ipcSocket_;
    pid_t pid_ = -1;
};

} // namespace zel::test
