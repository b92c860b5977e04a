// The X11 input backend: XTest events over one kept connection, RandR bounds, the XTEST trust
// check.
#pragma once

#include "input/input_backend.hpp"

#include <memory>

namespace zel::x11 {

// Connects lazily to $DISPLAY, so it never fails here: with no X server the trust check answers
// untrusted. Safe to use from several threads at once.
std::unique_ptr<zel::InputBackend> makeInputBackend();

} // namespace zel::x11
