// The session's accessibility bus (org.a11y.Bus), which toolkits expose their trees on.
#pragma once

#include <glib.h>
#include <string>

namespace zel::accessibility {

// Throws AppError with the GLib error's text after `what`, taking the error; nothing when null.
void check(GError* raw, const std::string& what);

// Starts the bus when nobody offers it (D-Bus activation, else at-spi-bus-launcher) and announces
// it enabled, which Qt and Chromium wait for. Throws AppError with what is missing.
void startAccessibilityBus();

} // namespace zel::accessibility
