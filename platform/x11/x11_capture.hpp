// The X11 screen-capture backend: RandR monitors as the display list, MIT-SHM frame streams.
#pragma once

#include "capture/capture_backend.hpp"

#include <memory>

namespace zel::x11 {

// Connects lazily to $DISPLAY through a connection cache, so that it can be made with no X
// server up: a capture then fails with the connection's error and the next one tries again.
std::unique_ptr<CaptureBackend> makeCaptureBackend();

} // namespace zel::x11
