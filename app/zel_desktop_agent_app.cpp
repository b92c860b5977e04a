#include "app/zel_desktop_agent_app.hpp"

#include "app/uuid.hpp"

namespace zel {

ZelDesktopAgentApp::ZelDesktopAgentApp(MainQueue& mainQueue, WindowFactory makeWindow)
    : screenshotSecret(makeUUIDString()), mainQueue_(mainQueue),
      makeWindow_(std::move(makeWindow)) {}

ZelDesktopAgentApp::~ZelDesktopAgentApp() = default;

void ZelDesktopAgentApp::applicationDidFinishLaunching() {
    buildWindow();
    startScreenshotService();
}

void ZelDesktopAgentApp::applicationWillTerminate() {
    // The listener is cancelled and the helpers stopped by the issues that bring them.
    stopProcesses();
}

void ZelDesktopAgentApp::buildWindow() {
    if (window || !makeWindow_) {
        return;
    }
    window = makeWindow_(*this);
    window->render(display);
    window->show();
}

void ZelDesktopAgentApp::startScreenshotService() {}

void ZelDesktopAgentApp::stopProcesses() {}

} // namespace zel
