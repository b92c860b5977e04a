// A process's windows as the X server stacks them: the top-level window at a point (the server
// knows which one is on top there) is ours when it, or the client inside a window manager's
// frame, carries our _NET_WM_PID.
#pragma once

#include "input/own_windows.hpp"

#include <memory>
#include <sys/types.h>

namespace zel::x11 {

// Connects lazily to $DISPLAY; an unreachable server covers nothing (the input request then
// fails on its own). The focus comes from the toolkit: this one never reports it.
std::shared_ptr<OwnWindows> makeOwnWindows(pid_t pid);

} // namespace zel::x11
