// The capabilities the platform lends the app, made in one place (the entry point) and handed to
// the controller: screen capture and input injection.
#pragma once

#include "capture/capture_backend.hpp"
#include "capture/change_source.hpp"
#include "control_service/control_service.hpp"
#include "input/accessibility.hpp"
#include "input/desktop_windows.hpp"
#include "input/input_backend.hpp"
#include "input/own_windows.hpp"

#include <functional>
#include <memory>
#include <string>

namespace zel {

struct DesktopEnvironment {
    // Both are shared by every request and safe to use from several threads at once.
    std::shared_ptr<CaptureBackend> capture;
    std::shared_ptr<InputBackend> input;
    // Where the screen changed, for the tiles route; without it (or without capture) the route
    // answers 501 "Change tracking is not available.".
    std::shared_ptr<ChangeSource> changes;
    // Which platform serves, and why, for the log of every connection start.
    std::string platform;
    // Platforms that ask the user before sharing (the desktop portal): called on the start's
    // thread at every connection start, it asks again where the last answer was no; called at
    // every stop (any thread, must not block), it ends the sharing; and what the window adds to
    // its ready line meanwhile.
    std::function<void()> connectionStarting = {};
    std::function<void()> connectionStopped = {};
    std::string consentHint = {};
    // Hands the platform what to tell (any thread, must not block) with the user's text of a
    // refusal or a failure of the sharing, or empty while there is none; an empty function stops
    // the telling.
    std::function<void(std::function<void(const std::string& problem)>)> watchConsent = {};
    // The app's own windows, which no input request may act on; set once the window exists
    // (main.cpp), before the control service starts.
    std::shared_ptr<OwnWindows> ownWindows = {};
    // The applications' accessibility trees and actions on their elements (AT-SPI); without it
    // the accessibility routes answer 501.
    std::shared_ptr<Accessibility> accessibility = {};
    // The desktop's top-level windows (list, focus), where the platform can tell them.
    std::shared_ptr<DesktopWindows> windows = {};
};

// The control service's routes over the environment's backends. A missing backend leaves its
// route answering "… is not available.".
ControlHandlers controlHandlers(const DesktopEnvironment& environment);

} // namespace zel
