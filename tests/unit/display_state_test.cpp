// The connection status display driven through a hand-drained main queue: every transition, the
// failure items in both orders, and the window mirroring each change.
#include "app/pairing.hpp"
#include "app/zel_desktop_agent_app.hpp"
#include "supervisor/agent_log.hpp"
#include "tests/support/temp_dir.hpp"

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using zel::DisplayModel;

struct Recorder final : zel::WindowView {
    std::vector<DisplayModel>* renders;
    explicit Recorder(std::vector<DisplayModel>* into) : renders(into) {}
    void show() override {}
    void render(const DisplayModel& model) override { renders->push_back(model); }
};

class DisplayState : public ::testing::Test {
protected:
    DisplayState() {
        app.buildWindow();
        renders.clear();
    }

    DisplayModel state(const char* status, const char* detail, bool qrHidden, bool enabled,
                       const char* title) const {
        DisplayModel model;
        model.statusText = status;
        model.detailText = detail;
        model.qrHidden = qrHidden;
        model.qrImage = app.display.qrImage;
        model.buttonEnabled = enabled;
        model.buttonTitle = title;
        return model;
    }
    DisplayModel idle() const {
        return state(zel::kIdleStatus, zel::kIdleDetail, true, true, "开启");
    }
    DisplayModel ready() const {
        return state(zel::kReadyStatus, zel::kReadyDetail, false, true, "关闭");
    }
    DisplayModel failed(const char* message) const {
        return state(zel::kFailedStatus, message, true, true, "开启");
    }

    void toReady(const std::string& address = "https://a.trycloudflare.com") {
        app.updateRunningState(true, std::nullopt);
        app.updateStatus(zel::kServerStepStatus, zel::kServerStepDetail);
        app.updateStatus(zel::kTunnelStepStatus, zel::kTunnelStepDetail);
        app.showReady(address);
        queue.drain();
    }

    zel::test::TempDir dir;
    zel::test::ScopedEnv stateHome{"XDG_STATE_HOME", dir.path().c_str()};
    std::vector<DisplayModel> renders;
    zel::ManualMainQueue queue;
    zel::ZelDesktopAgentApp app{
        queue, [this](zel::ZelDesktopAgentApp&) { return std::make_unique<Recorder>(&renders); },
        zel::HelperLocations{
            .resourceDirectory = std::nullopt, .nodeFallbacks = {}, .cloudflaredFallbacks = {}}};
};

TEST_F(DisplayState, EachOperationPostsOneItemAndTheStartWalksToReady) {
    EXPECT_EQ(app.display, idle());
    struct Step {
        std::function<void()> call;
        int items; // posted by the call, then by the items themselves
        DisplayModel expected;
    };
    const Step steps[] = {
        {[&] { app.updateRunningState(true, std::nullopt); }, 1,
         state(zel::kIdleStatus, zel::kIdleDetail, true, false, "开启中...")},
        {[&] { app.updateStatus(zel::kServerStepStatus, zel::kServerStepDetail); }, 1,
         state(zel::kServerStepStatus, zel::kServerStepDetail, true, false, "开启中...")},
        {[&] { app.updateStatus(zel::kTunnelStepStatus, zel::kTunnelStepDetail); }, 1,
         state(zel::kTunnelStepStatus, zel::kTunnelStepDetail, true, false, "开启中...")},
        {[&] { app.showReady("https://a.trycloudflare.com"); }, 2, {}},
    };
    for (const auto& step : steps) {
        step.call();
        EXPECT_EQ(app.display, renders.empty() ? idle() : renders.back()) << "changed off queue";
        EXPECT_EQ(queue.drain(), step.items);
        if (&step != &steps[3]) {
            EXPECT_EQ(app.display, step.expected);
        }
        ASSERT_FALSE(renders.empty());
        EXPECT_EQ(renders.back(), app.display) << "window not given the last change";
    }
    EXPECT_EQ(app.display, ready());
    EXPECT_EQ(app.zelURL, "zel://mac-control?url=https%3A%2F%2Fa.trycloudflare.com%2F%3Ftoken%3D");
    EXPECT_EQ(app.display.qrImage, zel::makeQRCode(app.zelURL));
}

TEST_F(DisplayState, SecondAddressWhileReadyRemakesTheCodeFromTheLastLink) {
    toReady();
    const auto first = app.display.qrImage;
    app.token = "T0k";
    app.showReady("https://b.trycloudflare.com");
    app.showReady("https://c.trycloudflare.com");
    queue.drain();
    EXPECT_EQ(app.display, ready());
    EXPECT_EQ(app.zelURL,
              "zel://mac-control?url=https%3A%2F%2Fc.trycloudflare.com%2F%3Ftoken%3DT0k");
    EXPECT_EQ(app.display.qrImage, zel::makeQRCode(app.zelURL));
    EXPECT_NE(app.display.qrImage, first);
}

TEST_F(DisplayState, StopFromReadyOrAStepGoesIdleAndEmptiesTheLink) {
    for (const char* step : {"ready", "server", "tunnel"}) {
        toReady();
        if (std::string(step) != "ready") {
            app.updateRunningState(true, std::nullopt);
            app.updateStatus(step == std::string("server") ? zel::kServerStepStatus
                                                           : zel::kTunnelStepStatus,
                             "step detail");
            queue.drain();
        }
        app.stopProcesses();
        EXPECT_TRUE(app.zelURL.empty());
        EXPECT_EQ(queue.drain(), 2) << step;
        EXPECT_EQ(app.display, idle()) << step;
        EXPECT_EQ(renders.back(), app.display);
    }
}

// The failure path posts the stop item and the error item; each posts a reset. Whatever order
// and interleaving the queue gives them, the display ends in Failed.
TEST_F(DisplayState, FailureEndsFailedWhateverOrderTheItemsRun) {
    struct Case {
        const char* name;
        std::function<void(zel::ZelDesktopAgentApp&, zel::ManualMainQueue&)> run;
    };
    const Case cases[] = {
        {"stop then error",
         [](auto& a, auto&) {
             a.stopProcesses();
             a.showError("boom");
         }},
        {"error then stop",
         [](auto& a, auto&) {
             a.showError("boom");
             a.stopProcesses();
         }},
        {"stop's reset runs before the error item",
         [](auto& a, auto& q) {
             a.stopProcesses();
             q.drain();
             a.showError("boom");
         }},
        {"error's reset runs before the stop item",
         [](auto& a, auto& q) {
             a.showError("boom");
             q.drain();
             a.stopProcesses();
         }},
    };
    for (const auto& c : cases) {
        toReady();
        app.updateRunningState(true, std::nullopt);
        app.updateStatus(zel::kServerStepStatus, zel::kServerStepDetail);
        queue.drain();
        c.run(app, queue);
        queue.drain();
        EXPECT_EQ(app.display, failed("boom")) << c.name;
    }
}

TEST_F(DisplayState, FailureTextsStayThroughANewStartUntilTheServerStep) {
    app.showError("first failure");
    queue.drain();
    app.updateRunningState(true, std::nullopt);
    queue.drain();
    EXPECT_EQ(app.display, state(zel::kFailedStatus, "first failure", true, false, "开启中..."));
    app.updateStatus(zel::kServerStepStatus, zel::kServerStepDetail);
    queue.drain();
    EXPECT_EQ(app.display.statusText, zel::kServerStepStatus);
    // A failure before the start's button change: from the state shown before, to Failed.
    app.stopProcesses();
    app.showError("");
    queue.drain();
    EXPECT_EQ(app.display, failed(""));
}

TEST_F(DisplayState, RestartFromReadyKeepsTheCodeUntilTheServerStep) {
    toReady();
    const auto code = app.display.qrImage;
    app.updateRunningState(true, std::nullopt);
    queue.drain();
    EXPECT_EQ(app.display, state(zel::kReadyStatus, zel::kReadyDetail, false, false, "开启中..."));
    EXPECT_EQ(app.display.qrImage, code);
}

TEST_F(DisplayState, ErrorIsLoggedOnTheCallingThreadBeforeItsItemRuns) {
    app.showError("缺少 node，请重新获取完整安装包。");
    app.showError("");
    EXPECT_EQ(zel::test::readFile(zel::logURL()),
              "ERROR: 缺少 node，请重新获取完整安装包。\nERROR: \n");
    EXPECT_EQ(app.display, idle());
}

TEST_F(DisplayState, ReadyWithoutACodeStillShowsReadyAndStop) {
    app.token = std::string(5000, 'k'); // too long for any QR symbol
    app.showReady("https://a.trycloudflare.com");
    queue.drain();
    EXPECT_EQ(app.display.qrImage, std::nullopt);
    EXPECT_EQ(app.display, ready());
    // A stop between showReady and its item: the item reads the emptied link.
    app.token = "t";
    app.showReady("https://a.trycloudflare.com");
    app.stopProcesses();
    EXPECT_EQ(queue.drain(), 4);
    EXPECT_EQ(app.display, idle());
    EXPECT_EQ(app.display.qrImage, std::nullopt);
}

} // namespace
