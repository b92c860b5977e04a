#include "app/platform_desktop.hpp"

#include "app/display_model.hpp"
#include "platform/accessibility/atspi_accessibility.hpp"
#include "platform/portal/portal_backends.hpp"
#include "platform/wayland/sway_windows.hpp"
#include "platform/wayland/toplevel_windows.hpp"
#include "platform/wayland/wayland_capture.hpp"
#include "platform/wayland/wayland_connection.hpp"
#include "platform/wayland/wayland_damage.hpp"
#include "platform/wayland/wayland_input.hpp"
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_damage.hpp"
#include "platform/x11/x11_input.hpp"
#include "platform/x11/x11_own_windows.hpp"
#include "platform/x11/x11_windows.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace zel {
namespace {

DesktopEnvironment x11Desktop(std::string platform) {
    // The log is emptied at every connection start, which writes this line again.
    std::fprintf(stderr, "zel-desktop-agent: %s\n", platform.c_str());
    DesktopEnvironment desktop{x11::makeCaptureBackend(), x11::makeInputBackend(),
                               x11::makeChangeSource(), std::move(platform)};
    desktop.ownWindows = x11::makeOwnWindows(::getpid());
    desktop.windows = x11::makeDesktopWindows(::getpid());
    return desktop;
}

DesktopEnvironment backends();

} // namespace

DesktopEnvironment makePlatformDesktop() {
    DesktopEnvironment desktop = backends();
    // AT-SPI serves every session type; its bus is started now, so that applications launched
    // from here on expose their trees.
    desktop.accessibility = accessibility::makeAtspiAccessibility(::getpid());
    return desktop;
}

namespace {

DesktopEnvironment backends() {
    // Under Wayland the X11 backends would see and move only XWayland's clients: a compositor
    // that offers the wlroots capture and virtual input protocols is served directly.
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland == nullptr || *wayland == '\0') {
        return x11Desktop("Platform: X11.");
    }
    const std::string reason = wayland::unsupportedReason();
    if (reason.empty()) {
        std::string platform = std::string("Platform: Wayland (") + wayland + ").";
        std::fprintf(stderr, "zel-desktop-agent: %s\n", platform.c_str());
        DesktopEnvironment desktop{wayland::makeCaptureBackend(), wayland::makeInputBackend(),
                                   wayland::makeChangeSource(), std::move(platform)};
        // sway tells where our windows are; other compositors leave the focus check alone.
        const char* sway = std::getenv("SWAYSOCK");
        desktop.ownWindows = wayland::makeSwayWindows(sway != nullptr ? sway : "", ::getpid());
        // The window list from sway's IPC, which knows places and processes; elsewhere from the
        // foreign-toplevel protocol where the compositor offers it.
        desktop.windows = sway != nullptr && *sway != '\0'
                              ? wayland::makeSwayDesktopWindows(sway, ::getpid())
                              : wayland::makeForeignToplevelWindows();
        return desktop;
    }
    // GNOME and KDE share the screen and take input only through the desktop portal, which asks
    // the user; under X11 it is not asked for, as XTest and shared memory need no consent.
    const std::string portalReason = portal::unavailableReason();
    if (portalReason.empty()) {
        std::string platform = std::string("Platform: Wayland (") + wayland +
                               ") through the desktop portal. " + reason;
        std::fprintf(stderr, "zel-desktop-agent: %s\n", platform.c_str());
        auto session = std::make_shared<portal::Session>();
        portal::Backends backends = portal::makeBackends(session);
        DesktopEnvironment desktop{std::move(backends.capture), std::move(backends.input),
                                   std::move(backends.changes), std::move(platform)};
        desktop.connectionStarting = [session] { session->begin(true); };
        desktop.connectionStopped = [session] { session->end(); };
        desktop.consentHint = kPortalConsentHint;
        desktop.watchConsent = [session](std::function<void(const std::string&)> tell) {
            session->setListener(std::move(tell));
        };
        return desktop;
    }
    return x11Desktop("Platform: X11, as Wayland cannot be served: " + reason +
                      " Nor through the desktop portal: " + portalReason);
}

} // namespace

} // namespace zel
