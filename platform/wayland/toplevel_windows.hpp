// The window list of wlroots compositors without sway's IPC, through the foreign-toplevel
// protocol: titles, app ids, which one is active or minimized, and activating one. The protocol
// tells neither places nor processes, so the app's own windows are known by their app id.
#pragma once

#include "input/desktop_windows.hpp"

#include <memory>
#include <string>
#include <string_view>

namespace zel::wayland {

// The app id of our own windows: the desktop file name the toolkit gives the compositor.
inline constexpr std::string_view kOwnAppId = "zel-desktop-agent";

// Keeps a connection of its own to the compositor at `socket` ($WAYLAND_DISPLAY when empty),
// read by a thread of its own so that list() answers from the compositor's latest events.
// nullptr when the compositor cannot be reached or offers no zwlr_foreign_toplevel_manager_v1.
// Ids are numbers handed out per window in the order the compositor announced them.
std::shared_ptr<DesktopWindows> makeForeignToplevelWindows(const std::string& socket = {},
                                                           std::string_view ownAppId = kOwnAppId);

} // namespace zel::wayland
