// Reading AT-SPI elements through libatspi: one element as a tree node, its children, and the
// window a tree request names. On the accessibility worker's thread only: libatspi is not
// thread-safe.
#pragma once

#include "base/c_handle.hpp"
#include "input/accessibility.hpp"
#include "platform/glib_handles.hpp"

#include <atspi/atspi.h>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zel::accessibility {

using AccessiblePtr = CHandle<AtspiAccessible, g_object_unref>;

template <typename T>
using InterfacePtr = CHandle<T, g_object_unref>;

// The text, freed; empty for null.
std::string take(gchar* text);

std::string lower(std::string text);

// The children that could be read; an element may go while it is read.
std::vector<AccessiblePtr> children(AtspiAccessible* accessible);

// One node without its children: id, role, name, states, bounds, actions, text.
nlohmann::json describe(AtspiAccessible* accessible);

struct Window {
    AccessiblePtr window;
    std::string application;
    pid_t pid = 0;
};

// The window the request names; throws AppError when no window on the bus matches.
Window findWindow(const AccessibilityTreeRequest& request);

} // namespace zel::accessibility
