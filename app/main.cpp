// Entry point: the Qt application and the controller live in the two program-wide references
// until the process ends; SIGTERM, SIGINT and SIGHUP quit through the normal termination sequence.
// "--start" starts the connection once launched, for a machine where nobody can press the button;
// the pairing link, its QR code and failures are printed to standard output as well.
#include "app/app_icon.hpp"
#include "app/instance_lock.hpp"
#include "app/main_window.hpp"
#include "app/platform_desktop.hpp"
#include "app/qt_main_queue.hpp"
#include "app/qt_own_windows.hpp"
#include "app/terminal_qr.hpp"
#include "app/zel_desktop_agent_app.hpp"
#include "base/agent_log.hpp"

#include <QApplication>
#include <QMenu>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>
#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::unique_ptr<QApplication> application;           // NOLINT: program-wide by design
std::unique_ptr<zel::ZelDesktopAgentApp> controller; // NOLINT: program-wide by design

std::array<int, 2> signalPipe{-1, -1}; // NOLINT: the only way out of a signal handler

volatile std::sig_atomic_t quitSignals = 0; // NOLINT: written by the signal handler only

void onQuitSignal(int signal) {
    // A second signal means the quit itself is stuck: end now (the helpers take SIGTERM with us).
    if (quitSignals != 0) {
        ::_exit(128 + signal);
    }
    quitSignals = 1;
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

// A closed window would leave no way to quit but a signal: the tray offers one.
// Without a tray, closing the window quits.
void installTrayIcon(QApplication& app) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        QApplication::setQuitOnLastWindowClosed(true);
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

std::atomic<bool> mainReturned{false}; // NOLINT: read by the exit handler

// Qt ends the process with exit(1) from inside the event loop when the X connection breaks. The
// destructors that exit() would run tear down what the loop and our threads still use, so the
// process leaves at once instead; the helpers take SIGTERM as the process goes.
void onExitFromInsideTheLoop() {
    if (mainReturned) {
        return;
    }
    zel::appendLog("The connection to the display was lost; Zel Desktop Agent quits.\n");
    ::_exit(1);
}

// Descriptors are shared by helper pipes, captures and connections; take all the system allows.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    raiseDescriptorLimit();
    auto instance = zel::InstanceLock::acquire();
    if (!instance) {
        // A start from the desktop's launcher means "show me the app": the running one does.
        if (zel::InstanceLock::askToRaise()) {
            std::fputs("zel-desktop-agent: already running; its window was brought to the front.\n",
                       stderr);
            return 0;
        }
        std::fputs("zel-desktop-agent: another instance is already running.\n", stderr);
        return 1;
    }

    // libatspi (the accessibility tree, on a thread of its own) keeps D-Bus sources on GLib's
    // default context; Qt's GLib dispatcher would run them on this thread, racing the worker for
    // its replies until calls time out. Qt's own dispatcher leaves that context alone. Only for us:
    // the programs we start keep their usual dispatcher.
    const bool dispatcherChosen = !qEnvironmentVariableIsEmpty("QT_NO_GLIB");
    if (!dispatcherChosen) {
        qputenv("QT_NO_GLIB", "1");
    }
    application = std::make_unique<QApplication>(argc, argv);
    if (!dispatcherChosen) {
        qunsetenv("QT_NO_GLIB");
    }
    QApplication::setApplicationName("zel-desktop-agent");
    QApplication::setApplicationDisplayName("Zel Desktop Agent");
    QApplication::setDesktopFileName("zel-desktop-agent");
    QApplication::setWindowIcon(zel::appIcon());
    // Closing the window does not quit where a tray offers the way back and out.
    QApplication::setQuitOnLastWindowClosed(false);
    installQuitSignals(*application);
    installTrayIcon(*application);
    // The session manager's save request is not a quit (the session's end comes as a signal or
    // the display's close), so nothing is connected to it.
    if (const int raiseSocket = instance->listenForRaise(); raiseSocket >= 0) {
        auto* notifier = new QSocketNotifier(raiseSocket, QSocketNotifier::Read, application.get());
        QObject::connect(notifier, &QSocketNotifier::activated, application.get(), [raiseSocket] {
            while (true) {
                const int peer = ::accept4(raiseSocket, nullptr, nullptr, SOCK_CLOEXEC);
                if (peer < 0) {
                    break;
                }
                ::close(peer);
            }
            if (controller && controller->window() != nullptr) {
                controller->window()->show();
            }
        });
    }

    static zel::QtMainQueue mainQueue(*application);
    // The composition point: the platform's backends and the window go to the controller here.
    zel::DesktopEnvironment desktop = zel::makePlatformDesktop();
    const std::string consentHint = desktop.consentHint;
    // Lives as long as the application; the compositor's view of our windows joins Qt's.
    desktop.ownWindows = std::make_shared<zel::QtOwnWindows>(desktop.ownWindows);
    controller = std::make_unique<zel::ZelDesktopAgentApp>(
        mainQueue, std::move(desktop),
        [](zel::ZelDesktopAgentApp& app) -> std::unique_ptr<zel::WindowView> {
            return std::make_unique<zel::MainWindow>(app.windowActions());
        });

    controller->setStatusPrinter(std::make_unique<zel::TerminalStatusPrinter>(stdout, consentHint));

    const bool startAtLaunch = QApplication::arguments().contains("--start");
    // Started at login: the window waits in the tray, where there is one to find it in.
    const bool hidden =
        QApplication::arguments().contains("--hidden") && QSystemTrayIcon::isSystemTrayAvailable();
    QTimer::singleShot(0, application.get(), [startAtLaunch, hidden] {
        controller->launch(!hidden);
        if (startAtLaunch) {
            controller->startConnection();
        }
    });
    QObject::connect(application.get(), &QCoreApplication::aboutToQuit, application.get(),
                     [] { controller->quit(); });
    std::atexit(onExitFromInsideTheLoop);
    QApplication::exec();
    // The termination sequence has run; the two references go with the process, controller first.
    controller.reset();
    application.reset();
    mainReturned = true;
    return 0;
}
