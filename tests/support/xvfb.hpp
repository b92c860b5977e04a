// A private X server for tests: Xvfb on a display number it picks itself, so tests never collide.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zel::test {

class Xvfb {
public:
    // Starts Xvfb with one screen of the given size (24-bit) and waits until it accepts clients.
    explicit Xvfb(int width = 1280, int height = 800, std::vector<std::string> extraArgs = {});
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;
    ~Xvfb();

    // ":N", for DISPLAY.
    [[nodiscard]] const std::string& display() const { return display_; }
    // Stops the server now (for tests of a vanished X server).
    void stop();
    // For signals (SIGSTOP freezes the server).
    [[nodiscard]] pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

// A child process for tests; killed and reaped when the object goes.
class Child {
public:
    // argv and env as for spawn().
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    [[nodiscard]] pid_t pid() const { return pid_; }
    void signal(int signalNumber) const;
    // The raw wait status, or nothing when the child still runs after the timeout.
    std::optional<int> waitFor(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

} // namespace zel::test
