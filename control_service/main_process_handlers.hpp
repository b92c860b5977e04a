// The real work behind the control service's routes: the platform's capture and input backends
// under MainProcessScreenshot::capture and MainProcessInput::perform.
#pragma once

#include "control_service/screenshot_listener.hpp"

namespace zel {

// Makes the backends now (they reach the display lazily, so this works with no X server up) and
// shares them between all requests; both are safe to use from several threads at once.
ControlHandlers makeMainProcessHandlers();

} // namespace zel
