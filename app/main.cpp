// Entry point: the Qt application and the controller live in the two program-wide references
// until the process ends; SIGTERM and SIGINT quit through the normal termination sequence.
#include "app/qt_main_queue.hpp"
#include "app/zel_desktop_agent_app.hpp"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <array>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

std::unique_ptr<QApplication> application;           // NOLINT: program-wide by design
std::unique_ptr<zel::ZelDesktopAgentApp> controller; // NOLINT: program-wide by design

std::array<int, 2> signalPipe{-1, -1}; // NOLINT: the only way out of a signal handler

void onQuitSignal(int /*signal*/) {
    const char byte = 1;
    // Async-signal-safe hand-over to the event loop; a full pipe already carries a quit.
    [[maybe_unused]] const auto ignored = ::write(signalPipe[1], &byte, 1);
}

// Turns SIGTERM and SIGINT into an ordinary quit of the event loop.
void installQuitSignals(QApplication& app) {
    if (::pipe2(signalPipe.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("zel-desktop-agent: pipe2");
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char buffer[16];
        while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        QApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

} // namespace

int main(int argc, char* argv[]) {
    application = std::make_unique<QApplication>(argc, argv);
    QApplication::setApplicationName("zel-desktop-agent");
    // Closing the window does not quit: the control service and helpers run on.
    QApplication::setQuitOnLastWindowClosed(false);
    installQuitSignals(*application);

    static zel::QtMainQueue mainQueue(*application);
    controller = std::make_unique<zel::ZelDesktopAgentApp>(mainQueue);

    QTimer::singleShot(0, application.get(), [] { controller->applicationDidFinishLaunching(); });
    QObject::connect(application.get(), &QCoreApplication::aboutToQuit, application.get(),
                     [] { controller->applicationWillTerminate(); });
    QApplication::exec();
    // The termination sequence has run; the two references go with the process, controller first.
    controller.reset();
    application.reset();
    return 0;
}
