// The one controller: owns the display, the helper processes, the control service listener and the
// per-launch values, and runs the launch and termination sequences.
#pragma once

#include "app/display_model.hpp"
#include "app/main_queue.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace zel {

class HelperProcess;      // supervisor: a running child process
class ScreenshotListener; // control_service: the listener on the control port

class ZelDesktopAgentApp {
public:
    using WindowFactory = std::function<std::unique_ptr<WindowView>(ZelDesktopAgentApp&)>;

    // Creates the fields only: no window, no socket, no process.
    explicit ZelDesktopAgentApp(MainQueue& mainQueue, WindowFactory makeWindow = {});
    ZelDesktopAgentApp(const ZelDesktopAgentApp&) = delete;
    ZelDesktopAgentApp& operator=(const ZelDesktopAgentApp&) = delete;
    ~ZelDesktopAgentApp();

    // Launch, on the GUI thread once the event loop runs: the window, then the control service.
    void applicationDidFinishLaunching();
    // Quit, on the GUI thread: cancel the listener, then stop both helpers.
    void applicationWillTerminate();

    void buildWindow();
    void startScreenshotService();
    void stopProcesses();

    // Fields, in declaration order. `window` and `display` (standing for the labels, the QR view
    // and the button) are touched only on the main queue. `serverProcess`, `tunnelProcess`,
    // `screenshotListener`, `token` and `zelURL` are guarded by `stateMutex`. The last three
    // are fixed at construction and read from any thread.
    std::unique_ptr<WindowView> window;
    DisplayModel display;
    std::shared_ptr<HelperProcess> serverProcess;
    std::shared_ptr<HelperProcess> tunnelProcess;
    std::shared_ptr<ScreenshotListener> screenshotListener;
    std::string token;
    std::string zelURL;
    const std::string port = "8787";
    const std::uint16_t screenshotPort = 8788;
    const std::string screenshotSecret;

    mutable std::mutex stateMutex;

private:
    MainQueue& mainQueue_;
    WindowFactory makeWindow_;
};

} // namespace zel
