// The X11 backends behind the routes; the platform is chosen here at build time.
#include "control_service/main_process_handlers.hpp"

#include "capture/main_process_screenshot.hpp"
#include "input/main_process_input.hpp"
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_input.hpp"

namespace zel {

ControlHandlers makeMainProcessHandlers() {
    std::shared_ptr<CaptureBackend> capture = x11::makeCaptureBackend();
    std::shared_ptr<InputBackend> input = x11::makeInputBackend();
    return {
        [capture](std::string_view format, int width, int quality) {
            return MainProcessScreenshot::capture(*capture, format, width, quality);
        },
        [input](std::string_view body) { return MainProcessInput::perform(*input, body); },
    };
}

} // namespace zel
