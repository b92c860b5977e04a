// The one place that chooses a platform: the entry point and the programs that measure the real
// backends ask here, nothing in the core does.
#pragma once

#include "app/desktop_environment.hpp"

namespace zel {

// The backends of the session the app runs in: Wayland where the compositor offers the wlroots
// capture and virtual input protocols, else the desktop portal where the session bus offers
// RemoteDesktop and ScreenCast (GNOME, KDE), X11 otherwise; the log says which and why. They reach
// the display lazily, so this works with no display up; requests then fail with the platform's
// text.
DesktopEnvironment makePlatformDesktop();

} // namespace zel
