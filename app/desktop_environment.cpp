#include "app/desktop_environment.hpp"

#include "capture/main_process_screenshot.hpp"
#include "input/main_process_input.hpp"

namespace zel {

ControlHandlers controlHandlers(const DesktopEnvironment& environment) {
    ControlHandlers handlers;
    if (auto capture = environment.capture) {
        handlers.screenshot = [capture](std::string_view format, int width, int quality) {
            return MainProcessScreenshot::capture(*capture, format, width, quality);
        };
    }
    if (auto input = environment.input) {
        handlers.input = [input](std::string_view body) {
            return MainProcessInput::perform(*input, body);
        };
    }
    return handlers;
}

} // namespace zel
