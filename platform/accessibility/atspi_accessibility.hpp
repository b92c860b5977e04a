// The accessibility tree and actions over AT-SPI, through libatspi: what GTK, Qt, Chromium and
// LibreOffice expose on the session's accessibility bus.
#pragma once

#include "input/accessibility.hpp"

#include <memory>
#include <sys/types.h>

namespace zel::accessibility {

// libatspi is not thread-safe: it runs on a thread of its own with a GLib main context of its
// own, and requests are posted there. That thread makes sure at once that the session has an
// accessibility bus (D-Bus activation of org.a11y.Bus, else at-spi-bus-launcher run by us) and
// announces it enabled (org.a11y.Status.IsEnabled), so that Qt and Chromium applications expose
// their trees; requests wait for it, and one after a failure tries again. Elements of process
// `ownPid` are shown but never acted on.
std::shared_ptr<Accessibility> makeAtspiAccessibility(pid_t ownPid);

} // namespace zel::accessibility
