#include "app/platform_desktop.hpp"

#include "base/agent_log.hpp"
#include "platform/wayland/wayland_capture.hpp"
#include "platform/wayland/wayland_connection.hpp"
#include "platform/wayland/wayland_input.hpp"
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_input.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace zel {
namespace {

void note(const std::string& line) {
    appendLog(line + "\n");
    std::fprintf(stderr, "zel-desktop-agent: %s\n", line.c_str());
}

} // namespace

DesktopEnvironment makePlatformDesktop() {
    // Under Wayland the X11 backends would see and move only XWayland's clients: a compositor
    // that offers the wlroots capture and virtual input protocols is served directly.
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland != nullptr && *wayland != '\0') {
        const std::string reason = wayland::unsupportedReason();
        if (reason.empty()) {
            note(std::string("Platform: Wayland (") + wayland + ").");
            return {wayland::makeCaptureBackend(), wayland::makeInputBackend()};
        }
        note("Platform: X11, as Wayland cannot be served: " + reason);
    } else {
        note("Platform: X11.");
    }
    return {x11::makeCaptureBackend(), x11::makeInputBackend()};
}

} // namespace zel
