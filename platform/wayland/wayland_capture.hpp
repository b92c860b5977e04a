// The wlroots Wayland screen-capture backend: the compositor's outputs as the display list,
// frame streams through wlr-screencopy into shared memory.
#pragma once

#include "capture/capture_backend.hpp"

#include <memory>
#include <string>

namespace zel::wayland {

// Connects lazily to the socket ($WAYLAND_DISPLAY when empty), so it can be made with no
// compositor up: a capture then fails with the connection's error and the next one tries again.
std::unique_ptr<CaptureBackend> makeCaptureBackend(const std::string& socket = {});

} // namespace zel::wayland
