// Entry point: the Qt application and the controller live in the two program-wide references
// until the process ends; SIGTERM, SIGINT and SIGHUP quit through the normal termination sequence.
#include "app/app_icon.hpp"
#include "app/instance_lock.hpp"
#include "app/main_window.hpp"
#include "app/platform_desktop.hpp"
#include "app/qt_main_queue.hpp"
#include "app/zel_desktop_agent_app.hpp"

#include <QApplication>
#include <QMenu>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
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

// Turns the quit signals into an ordinary quit of the event loop.
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
    for (const int quitSignal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(quitSignal, &action, nullptr);
    }
}

// Without a Dock, a closed window would leave no way to quit but a signal: the tray offers one.
void installTrayIcon(QApplication& app) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    auto* tray = new QSystemTrayIcon(zel::appIcon(), &app);
    auto* menu = new QMenu;
    QObject::connect(&app, &QObject::destroyed, menu, [menu] { delete menu; });
    QObject::connect(menu->addAction("退出"), &QAction::triggered, &app, &QApplication::quit);
    tray->setContextMenu(menu);
    tray->setToolTip("Zel Desktop Agent");
    tray->show();
}

} // namespace

int main(int argc, char* argv[]) {
    const auto instance = zel::InstanceLock::acquire();
    if (!instance) {
        std::fputs("zel-desktop-agent: another instance is already running.\n", stderr);
        return 1;
    }

    application = std::make_unique<QApplication>(argc, argv);
    QApplication::setApplicationName("zel-desktop-agent");
    QApplication::setApplicationDisplayName("Zel Desktop Agent");
    QApplication::setDesktopFileName("zel-desktop-agent");
    QApplication::setWindowIcon(zel::appIcon());
    // Closing the window does not quit: the control service and helpers run on.
    QApplication::setQuitOnLastWindowClosed(false);
    installQuitSignals(*application);
    installTrayIcon(*application);
    // The session manager's end of session quits like any other quit.
    QObject::connect(application.get(), &QGuiApplication::commitDataRequest, application.get(),
                     [] { QApplication::quit(); });

    static zel::QtMainQueue mainQueue(*application);
    // The composition point: the platform's backends and the window go to the controller here.
    controller = std::make_unique<zel::ZelDesktopAgentApp>(
        mainQueue, zel::makePlatformDesktop(),
        [](zel::ZelDesktopAgentApp& app) -> std::unique_ptr<zel::WindowView> {
            return std::make_unique<zel::MainWindow>([&app] { app.toggleConnection(); });
        });

    QTimer::singleShot(0, application.get(), [] { controller->applicationDidFinishLaunching(); });
    QObject::connect(application.get(), &QCoreApplication::aboutToQuit, application.get(),
                     [] { controller->applicationWillTerminate(); });
    QApplication::exec();
    // The termination sequence has run; the two references go with the process, controller first.
    controller.reset();
    application.reset();
    return 0;
}
