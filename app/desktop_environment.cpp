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
    if (auto accessibility = environment.accessibility) {
        // The main display's place, so that a client can map the desktop pixels of the bounds
        // onto its screenshots.
        handlers.accessibilityTree = [accessibility,
                                      input = environment.input](const nlohmann::json& query) {
            auto tree = accessibility->tree(parseAccessibilityTreeQuery(query));
            if (input) {
                try {
                    const DisplayBounds display = input->mainDisplayBounds();
                    tree["display"] = {{"x", display.x},
                                       {"y", display.y},
                                       {"width", display.width},
                                       {"height", display.height}};
                } catch (const std::exception&) {
                    // The tree stands without it.
                }
            }
            return tree;
        };
        handlers.accessibilityAct = [accessibility](std::string_view body) {
            return accessibility->act(parseAccessibilityAct(body));
        };
    }
    if (auto windows = environment.windows) {
        handlers.windows = [windows, input = environment.input] {
            std::optional<DisplayBounds> display;
            if (input) {
                display = input->mainDisplayBounds();
            }
            return windowListJSON(windows->list(), display);
        };
        handlers.focusWindow = [windows](std::string_view body) {
            return focusWindow(*windows, body);
        };
    }
    return handlers;
}

} // namespace zel
