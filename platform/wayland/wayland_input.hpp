// The wlroots Wayland input backend: one virtual pointer and one virtual keyboard with a keymap
// of our own, kept for the life of the connection; the trust check asks for their protocols.
#pragma once

#include "input/input_backend.hpp"

#include <memory>
#include <string>

namespace zel::wayland {

// Connects lazily to the socket ($WAYLAND_DISPLAY when empty), so it never fails here: with no
// compositor, or one without the virtual input protocols, the trust check answers untrusted.
std::unique_ptr<InputBackend> makeInputBackend(const std::string& socket = {});

} // namespace zel::wayland
