#include "app/platform_desktop.hpp"

#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_damage.hpp"
#include "platform/x11/x11_input.hpp"

namespace zel {

DesktopEnvironment makePlatformDesktop() {
    return {x11::makeCaptureBackend(), x11::makeInputBackend(), x11::makeChangeSource()};
}

} // namespace zel
