// A process's windows as sway sees them, through its IPC socket ($SWAYSOCK): where each visible
// one lies in the layout and whether one has the focus. A Wayland client cannot learn this from
// the protocol itself.
#pragma once

#include "input/desktop_windows.hpp"
#include "input/own_windows.hpp"

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/types.h>

namespace zel::wayland {

// The windows of `pid` in a tree from sway's GET_TREE; nodes of other processes and hidden ones
// are left out.
OwnWindowState windowsOf(const nlohmann::json& tree, pid_t pid);

// Asks sway at every call (a tree takes about a millisecond); nullptr when `socket` is empty.
// An unreachable or failing sway counts as no windows: input must not stop because sway's IPC
// does, and the focus still comes from the toolkit.
std::shared_ptr<OwnWindows> makeSwayWindows(std::string socket, pid_t pid);

// Every view in a GET_TREE answer as a desktop window: the container's id, title, app id (an
// XWayland window's class), pid, and its rectangle where it is visible now; the focused one first,
// then in the tree's order. `ownPid`'s are marked own.
std::vector<DesktopWindow> desktopWindowsOf(const nlohmann::json& tree, pid_t ownPid);

// The window list and focus (a `[con_id=N] focus` command) over sway's IPC; nullptr when
// `socket` is empty. Other wlroots compositors have toplevel_windows.hpp.
std::shared_ptr<DesktopWindows> makeSwayDesktopWindows(std::string socket, pid_t ownPid);

} // namespace zel::wayland
