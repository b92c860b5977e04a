// A private headless GNOME stack for tests: a session bus, PipeWire with WirePlumber, mutter on
// a 1920×1080 virtual monitor, and the desktop portal (activated on the bus) reaching it, its
// dialogs in Chinese; all in a runtime directory of their own. They run as our own user, root
// included (mutter allows it): the portal refuses a client whose /proc/PID/root it cannot open, as
// nobody could not ours.
#pragma once

#include "tests/support/temp_dir.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zel::test {

class Mutter {
public:
    Mutter();
    Mutter(const Mutter&) = delete;
    Mutter& operator=(const Mutter&) = delete;
    ~Mutter();

    // DBUS_SESSION_BUS_ADDRESS, XDG_RUNTIME_DIR and WAYLAND_DISPLAY for a client of this desktop.
    [[nodiscard]] std::vector<std::string> clientEnv() const;
    [[nodiscard]] const std::string& busAddress() const { return bus_; }
    // A file in the test's directory, for the output of clients.
    [[nodiscard]] std::string path(const std::string& name) const;
    // The desktop's own logs, for a failure's message.
    [[nodiscard]] std::string logs() const;

    enum class Dialog { screen, control };
    // Answers the portal's screen-sharing or remote-desktop dialog through mutter's own input
    // interface until `answered` says the answer arrived: allowing picks the monitor or turns on
    // remote interaction and shares, refusing cancels. Where `shown` is given, clicks wait until
    // it says the dialog is up (the remote-desktop one needs that). False when that did not
    // happen in time.
    bool answerDialog(Dialog dialog, bool allow, const std::function<bool()>& answered,
                      const std::function<bool()>& shown = {},
                      std::chrono::seconds limit = std::chrono::seconds(30));

private:
    class Remote;

    TempDir dir_;
    std::string runtimeDir_;
    std::string bus_;
    pid_t pid_ = -1;
    std::unique_ptr<Remote> remote_;
};

// Whether a portal dialog is up, from what the screen shows at a point.
bool dialogShown(const std::function<std::array<int, 3>(int x, int y)>& pixel);

} // namespace zel::test
