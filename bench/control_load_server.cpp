// The control service with the app's real handlers under a private X server, for load tools
// (bench/control_load.sh); arguments: [port [network threads]]. Prints "<port> <secret>" on one
// line, then serves until SIGINT or SIGTERM. The secret is made here for the run; the app's own
// never leaves the app.
#include "app/platform_desktop.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <csignal>
#include <cstdio>
#include <random>
#include <string>

int main(int argc, char* argv[]) {
    const auto port = argc > 1 ? static_cast<std::uint16_t>(std::stoi(argv[1])) : 0;
    // Started before the quit signals are blocked: the mask is inherited, and the X server must
    // still take the SIGTERM that ends it.
    const zel::test::Xvfb xvfb(1280, 800);
    sigset_t quit;
    sigemptyset(&quit);
    sigaddset(&quit, SIGINT);
    sigaddset(&quit, SIGTERM);
    // Blocked before the service's threads start, so that all of them leave these to sigwait.
    pthread_sigmask(SIG_BLOCK, &quit, nullptr);

    const zel::test::ScopedEnv display("DISPLAY", xvfb.display().c_str());
    const zel::test::TempDir logHome;
    const zel::test::ScopedEnv env("XDG_STATE_HOME", logHome.path().c_str());

    std::random_device random;
    std::string secret;
    for (int i = 0; i < 32; ++i) {
        secret += "0123456789ABCDEF"[random() % 16];
    }
    zel::ControlServiceConfig config;
    config.port = port;
    if (argc > 2) {
        config.networkThreads = static_cast<std::size_t>(std::stoi(argv[2]));
    }
    config.secret = secret;
    config.handlers = zel::controlHandlers(zel::makePlatformDesktop());
    const zel::ControlService service(std::move(config));
    std::printf("%u %s\n", static_cast<unsigned>(service.port()), secret.c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&quit, &signal);
    return 0;
}
