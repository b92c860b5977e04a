#include "app/desktop_environment.hpp"

#include "capture/change_tiles.hpp"
#include "capture/screenshot.hpp"
#include "input/input_actions.hpp"

namespace zel {

ControlHandlers controlHandlers(const DesktopEnvironment& environment) {
    ControlHandlers handlers;
    if (auto capture = environment.capture) {
        handlers.screenshot = [capture](std::string_view format, int width, int quality) {
            return Screenshot::capture(*capture, format, width, quality);
        };
    }
    if (environment.capture && environment.changes) {
        auto tiles = std::make_shared<ChangeTiles>(environment.capture, environment.changes);
        handlers.awaitChange = [tiles](std::uint64_t since, std::function<void()> changed,
                                       bool pointer) {
            tiles->awaitChange(since, std::move(changed), pointer);
        };
        handlers.tiles = [tiles](std::uint64_t since, int width, int quality, bool copies,
                                 bool pointer) {
            return tiles->tiles(since, width, quality, copies, pointer);
        };
        handlers.awaitPointer = [tiles](std::uint64_t since, std::function<void()> changed) {
            tiles->awaitPointer(since, std::move(changed));
        };
        handlers.pointer = [tiles] { return tiles->pointer(); };
        handlers.pointerShape = [tiles] { return tiles->pointerShape(); };
    }
    if (auto input = environment.input) {
        handlers.input = [input, own = environment.ownWindows](std::string_view body) {
            return InputActions::perform(*input, body, own.get());
        };
    }
    return handlers;
}

} // namespace zel
