#include "app/desktop_environment.hpp"

#include "base/app_error.hpp"
#include "capture/change_tiles.hpp"
#include "capture/screen_settle.hpp"
#include "capture/screenshot.hpp"
#include "input/input_actions.hpp"

namespace zel {
namespace {

ScreenBox screenBox(const CaptureDisplay& display) {
    return {display.x, display.y, display.width, display.height};
}

std::vector<ScreenBox> screenBoxes(const std::vector<ChangeRect>& rects) {
    std::vector<ScreenBox> boxes;
    boxes.reserve(rects.size());
    for (const ChangeRect& rect : rects) {
        boxes.push_back({rect.x, rect.y, rect.width, rect.height});
    }
    return boxes;
}

} // namespace

ControlHandlers controlHandlers(const DesktopEnvironment& environment) {
    ControlHandlers handlers;
    if (auto capture = environment.capture) {
        handlers.screenshot = [capture](std::string_view format, int width, int quality) {
            return Screenshot::capture(*capture, format, width, quality);
        };
    }
    if (auto capture = environment.capture) {
        handlers.zoom = [capture](std::string_view format, int width, int quality,
                                  ScreenBox region) {
            return Screenshot::captureRegion(*capture, format, width, quality,
                                             {region.x, region.y, region.width, region.height});
        };
        handlers.compareFrames = [capture] {
            auto comparison = std::make_shared<FrameComparison>(capture);
            return std::function<ScreenChanges()>([comparison] {
                ScreenChanges changes;
                changes.boxes = screenBoxes(comparison->look());
                changes.display = screenBox(comparison->display());
                return changes;
            });
        };
    }
    if (environment.capture && environment.changes) {
        auto tiles = std::make_shared<ChangeTiles>(environment.capture, environment.changes);
        handlers.awaitChange = [tiles](std::uint64_t since, std::function<void()> changed,
                                       bool pointer) {
            tiles->awaitChange(since, std::move(changed), pointer);
        };
        handlers.changesSince = [tiles, capture = environment.capture](std::uint64_t since) {
            const auto displays = capture->displays();
            if (displays.empty()) {
                throw AppError("No display is available.");
            }
            const ChangeLog::Changes log = tiles->changesSince(since);
            ScreenChanges changes;
            changes.sequence = log.sequence;
            changes.display = screenBox(displays.front());
            // Since 0 nothing is known yet; a log that cannot say means everything changed.
            if (since != 0) {
                changes.boxes = log.full ? std::vector<ScreenBox>{changes.display}
                                         : screenBoxes(changedBoxes(log.rects, displays.front()));
            }
            return changes;
        };
        handlers.tiles = [tiles](std::uint64_t since, int width, int quality, bool copies,
                                 bool pointer, int videoBitrate, int videoWidth) {
            return tiles->tiles(since, width, quality, copies, pointer, videoBitrate, videoWidth);
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
