// The desktop's top-level windows through the window manager's EWMH properties: the client list
// in stacking order, names, classes, pids, frame extents and the active window; focusing asks the
// window manager with a _NET_ACTIVE_WINDOW message, as a pager does.
#pragma once

#include "input/desktop_windows.hpp"

#include <memory>
#include <sys/types.h>

namespace zel::x11 {

// Connects lazily to $DISPLAY. `ownPid`: windows carrying this _NET_WM_PID are the app's own.
// Without a window manager (no _NET_CLIENT_LIST) the mapped children of the root are listed and
// focused directly.
std::shared_ptr<DesktopWindows> makeDesktopWindows(pid_t ownPid);

} // namespace zel::x11
