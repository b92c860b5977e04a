// A window that keeps every model it is given and when, and the controller built around it with
// no platform backends and helpers looked up in `resources` alone.
#pragma once

#include "app/zel_desktop_agent_app.hpp"

#include <chrono>
#include <vector>

namespace zel::test {

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
                std::optional<std::filesystem::path> resources = std::nullopt) {
    auto app = std::make_unique<ZelDesktopAgentApp>(
        queue, DesktopEnvironment{},
        [&renders](ZelDesktopAgentApp&) { return std::make_unique<RecordingWindowView>(renders); },
        HelperLocations{.resourceDirectory = std::move(resources),
                        .nodeFallbacks = {},
                        .cloudflaredFallbacks = {}});
    app->buildWindow();
    return app;
}

} // namespace zel::test
