// The tests' private headless GNOME stack for bench/live_view.mjs, which cannot answer the portal's
// dialogs itself: mutter takes the clicks only from a remote-desktop session of a caller that stays
// connected. Prints what a client of the desktop needs as one JSON line, answers a dialog when told
// on standard input, and ends the stack when standard input closes (or on SIGTERM/SIGINT).
//
// In: "screen" or "control" (allow that dialog), "shown" (the caller sees the control dialog in
// the app's screenshots: its clicks wait for that), "answered" (the app has the answer).
// Out: the environment, then "answered DIALOG" or "unanswered DIALOG" for each.
#include "tests/support/mutter.hpp"

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <pthread.h>
#include <string>
#include <thread>

namespace {

struct Inbox {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> dialogs;
    bool closed = false;
    std::atomic<bool> shown{false};
    std::atomic<bool> answered{false};

    void close() {
        const std::lock_guard lock(mutex);
        closed = true;
        answered = true; // a dialog being answered gives up at once
        changed.notify_all();
    }
};

} // namespace

int main() {
    // Signals wait for a thread of their own, so the stack's destructor still runs.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    zel::test::Mutter mutter;
    nlohmann::json env = nlohmann::json::object();
    for (const std::string& entry : mutter.clientEnv()) {
        const auto eq = entry.find('=');
        env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    std::cout << env.dump() << std::endl;

    Inbox inbox;
    std::thread([&inbox, signals] {
        int signal = 0;
        sigwait(&signals, &signal);
        inbox.close();
    }).detach();
    // Detached: a read blocked on standard input must not hold the exit.
    std::thread([&inbox] {
        for (std::string line; std::getline(std::cin, line);) {
            if (line == "shown") {
                inbox.shown = true;
            } else if (line == "answered") {
                inbox.answered = true;
            } else {
                const std::lock_guard lock(inbox.mutex);
                inbox.dialogs.push_back(line);
                inbox.changed.notify_all();
            }
        }
        inbox.close();
    }).detach();

    for (;;) {
        std::string dialog;
        {
            std::unique_lock lock(inbox.mutex);
            inbox.changed.wait(lock, [&] { return inbox.closed || !inbox.dialogs.empty(); });
            if (inbox.closed) {
                break;
            }
            dialog = inbox.dialogs.front();
            inbox.dialogs.pop_front();
            inbox.shown = false;
            inbox.answered = false;
        }
        if (dialog != "screen" && dialog != "control") {
            std::cout << "unanswered " << dialog << std::endl;
            continue;
        }
        const bool control = dialog == "control";
        const bool done = mutter.answerDialog(
            control ? zel::test::Mutter::Dialog::control : zel::test::Mutter::Dialog::screen, true,
            [&] { return inbox.answered.load(); },
            control ? std::function<bool()>([&] { return inbox.shown.load(); })
                    : std::function<bool()>(),
            std::chrono::seconds(60));
        std::cout << (done ? "answered " : "unanswered ") << dialog << std::endl;
    }
    return 0;
}
