// The X11 change source: the Damage extension on the root window, with the pointer's moves and
// shapes (XFixes; the cursor is blended into frames but drawn outside what Damage sees) and RandR
// screen changes.
#pragma once

#include "capture/change_source.hpp"

#include <memory>

namespace zel::x11 {

// Each watch opens a connection of its own to $DISPLAY (its events are nobody else's).
std::unique_ptr<ChangeSource> makeChangeSource();

} // namespace zel::x11
