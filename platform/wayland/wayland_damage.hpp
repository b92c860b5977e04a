// The Wayland change source: the damage wlr-screencopy reports with each copy of an output
// (version 2 and later), the cursor included as the compositor draws it into the copies.
#pragma once

#include "capture/change_source.hpp"
#include "platform/wayland/wayland_connection.hpp"

#include <memory>
#include <string>

namespace zel::wayland {

// Each watch opens a connection of its own to the socket ($WAYLAND_DISPLAY when empty).
std::unique_ptr<ChangeSource> makeChangeSource(const std::string& socket = {});

// A damaged rectangle of an output's buffer (width × height pixels, bottom-up when yInverted,
// turned by the wl_output transform) in the layout's coordinates, where the output covers
// `layout`.
ChangeRect layoutRect(const Rect& damage, int width, int height, bool yInverted, int transform,
                      const Rect& layout);

} // namespace zel::wayland
