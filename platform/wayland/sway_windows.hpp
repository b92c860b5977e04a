// A process's windows as sway sees them, through its IPC socket ($SWAYSOCK): where each visible
// one lies in the layout and whether one has the focus. A Wayland client cannot learn this from
// the protocol itself.
#pragma once

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

} // namespace zel::wayland
