// A controller over a test resource tree: node linked into its bin, the stand-in tunnel client,
// an agent tree written by each test, and a main queue drained by the test.
#pragma once

#include "app/pairing.hpp"
#include "app/zel_desktop_agent_app.hpp"
#include "supervisor/agent_log.hpp"
#include "tests/support/temp_dir.hpp"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

namespace zel::test {

// Each item remembers when it was posted, so tests can bound the time between two posts.
class StampedQueue final : public MainQueue {
public:
    void post(std::function<void()> item) override {
        inner.post([this, at = std::chrono::steady_clock::now(), item = std::move(item)] {
            runningPostedAt = at;
            item();
        });
    }
    int drain() { return inner.drain(); }

    std::chrono::steady_clock::time_point runningPostedAt;

private:
    ManualMainQueue inner;
};

class ConnectionFixture : public ::testing::Test {
protected:
    using Render = std::pair<DisplayModel, std::chrono::steady_clock::time_point>;

    struct Recorder final : WindowView {
        ConnectionFixture& fixture;
        explicit Recorder(ConnectionFixture& owner) : fixture(owner) {}
        void show() override {}
        void render(const DisplayModel& model) override {
            fixture.renders.emplace_back(model, fixture.queue.runningPostedAt);
        }
    };

    ConnectionFixture() {
        std::filesystem::create_directories(bin);
        std::filesystem::create_directories(agent / "src");
        std::filesystem::create_symlink("/usr/bin/node", bin / "node");
        std::filesystem::copy_file(ZEL_SOURCE_DIR "/tests/fixtures/cloudflared",
                                   bin / "cloudflared");
        app = std::make_unique<ZelDesktopAgentApp>(
            queue, [this](ZelDesktopAgentApp&) { return std::make_unique<Recorder>(*this); },
            HelperLocations{
                .resourceDirectory = resources, .nodeFallbacks = {}, .cloudflaredFallbacks = {}});
        app->buildWindow();
    }

    ~ConnectionFixture() override {
        if (app) {
            app->stopProcesses();
            queue.drain();
            app.reset();
        }
    }

    // The agent tree: config.js counts token queries, then runs `config` (which returns the
    // config or ends the process); server.js records how it was run, then runs `server` (or
    // stays up).
    void writeAgent(const std::string& config, const std::string& server) const {
        std::ofstream(agent / "package.json") << R"({"type": "module"})";
        std::ofstream(agent / "src" / "config.js")
            << "import fs from 'node:fs';\n"
               "export function loadConfig() {\n"
               "  fs.appendFileSync(new URL('../queries', import.meta.url), 'query\\n');\n"
            << config << "\n}\n";
        std::ofstream(agent / "src" / "server.js")
            << "import fs from 'node:fs';\n"
               "fs.appendFileSync(new URL('../servers', import.meta.url), 'server\\n');\n"
               "fs.writeFileSync(new URL('../server.json', import.meta.url), JSON.stringify({\n"
               "  argv: process.argv.slice(1), cwd: process.cwd(), env: process.env, pid: "
               "process.pid }));\n"
               "console.log('agent listening');\n"
               "process.on('SIGTERM', () => { console.log('agent stopping'); process.exit(0); });\n"
            << (server.empty() ? "setInterval(() => {}, 60000);" : server) << "\n";
    }

    // The stand-in's writes, each awaited in the log so that each is a chunk of its own.
    void writeScenario(const nlohmann::json& writes, const std::string& onTerm = {}) const {
        nlohmann::json scenario{{"writes", writes}, {"log", logURL().string()}};
        if (!onTerm.empty()) {
            scenario["onTerm"] = onTerm;
        }
        std::ofstream(bin / "cloudflared.scenario") << scenario.dump();
    }

    [[nodiscard]] nlohmann::json environmentJson() const {
        nlohmann::json env = nlohmann::json::object();
        for (const auto& [name, value] : app->helpers().agentEnvironment()) {
            env[name] = value;
        }
        return env;
    }

    static nlohmann::json readJson(const std::filesystem::path& path) {
        return nlohmann::json::parse(readFile(path));
    }

    // Waits are generous limits for a busy machine, not timing requirements.
    bool waitUntil(const std::function<bool()>& done,
                   std::chrono::seconds limit = std::chrono::seconds(60)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            queue.drain();
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    bool waitForStatus(const std::string& status) {
        return waitUntil([&] { return app->display.statusText == status; });
    }
    // A state that an item rendered since `renders` was last cleared, with the button enabled
    // (the start's own first item keeps the texts shown before it).
    bool waitForNewState(const std::string& status) {
        return waitUntil([&] {
            return std::any_of(renders.begin(), renders.end(), [&](const Render& render) {
                return render.first.statusText == status && render.first.buttonEnabled;
            });
        });
    }
    bool waitForDetail(const std::string& detail) {
        return waitUntil([&] { return app->display.detailText == detail; });
    }
    bool waitForLog(const std::string& text) {
        return waitUntil([&] { return readFile(logURL()).find(text) != std::string::npos; });
    }
    static bool gone(pid_t pid) {
        for (int i = 0; i < 3000; ++i) {
            if (!std::filesystem::exists("/proc/" + std::to_string(pid))) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    [[nodiscard]] std::optional<std::chrono::steady_clock::time_point>
    postTimeOf(const std::string& status) const {
        for (const auto& [model, postedAt] : renders) {
            if (model.statusText == status) {
                return postedAt;
            }
        }
        return std::nullopt;
    }

    TempDir dir;
    ScopedEnv stateHome{"XDG_STATE_HOME", (dir.path() / "state").c_str()};
    std::filesystem::path resources = dir.path() / "res";
    std::filesystem::path bin = resources / "bin";
    std::filesystem::path agent = resources / "agent";
    StampedQueue queue;
    std::vector<Render> renders;
    std::unique_ptr<ZelDesktopAgentApp> app;
};

} // namespace zel::test
