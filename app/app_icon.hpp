// The app's icon drawn in code (same design as the installed SVG), so no image plugin is needed.
#pragma once

#include <QIcon>

namespace zel {

QIcon appIcon();

} // namespace zel
