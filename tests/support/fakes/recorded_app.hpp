// The controller as tests drive it: a main queue that runs nothing until drained (so that a test
// decides when the GUI thread's work happens and in which order it meets the other threads'
// work), a window that keeps every model it is given and when, no platform backends, and helpers
// looked up in `resources` alone.
#pragma once

#include "app/main_queue.hpp"
#include "app/zel_desktop_agent_app.hpp"

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace zel::test {

class ManualMainQueue final : public MainQueue {
public:
    void post(std::function<void()> item) override {
        const std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
    }

    // Runs queued items, including those posted while draining; returns how many ran.
    int drain() {
        int ran = 0;
        for (;;) {
            std::function<void()> item;
            {
                const std::lock_guard lock(mutex_);
                if (items_.empty()) {
                    return ran;
                }
                item = std::move(items_.front());
                items_.pop_front();
            }
            item();
            ++ran;
        }
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> items_;
};

struct Render {
    DisplayModel model;
    std::chrono::steady_clock::time_point at;
};

class RecordingWindowView final : public WindowView {
public:
    explicit RecordingWindowView(std::vector<Render>& renders) : renders_(renders) {}
    void show() override {}
    void render(const DisplayModel& model) override {
        renders_.push_back({model, std::chrono::steady_clock::now()});
    }

private:
    std::vector<Render>& renders_;
};

inline std::unique_ptr<ZelDesktopAgentApp>
makeRecordedApp(MainQueue& queue, std::vector<Render>& renders,
                std::optional<std::filesystem::path> resources = std::nullopt,
                DesktopEnvironment desktop = {}) {
    auto app = std::make_unique<ZelDesktopAgentApp>(
        queue, std::move(desktop),
        [&renders](ZelDesktopAgentApp&) { return std::make_unique<RecordingWindowView>(renders); },
        HelperLocations{.resourceDirectory = std::move(resources),
                        .nodeFallbacks = {},
                        .cloudflaredFallbacks = {}});
    app->buildWindow();
    return app;
}

} // namespace zel::test
