// The status display driven through a hand-drained main queue, and the pairing link and code it
// shows (the end-to-end test reads that code off the screen).
#include "app/autostart.hpp"
#include "app/pairing.hpp"
#include "app/terminal_qr.hpp"
#include "app/uuid.hpp"
#include "tests/support/fakes/recorded_app.hpp"
#include "tests/support/temp_dir.hpp"

#include <functional>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

namespace {

using zel::DisplayModel;

class DisplayState : public ::testing::Test {
protected:
    DisplayModel state(const char* status, const char* detail, bool qrHidden, bool enabled,
                       const char* title) const {
        DisplayModel model;
        model.statusText = status;
        model.detailText = detail;
        model.qrHidden = qrHidden;
        model.qrImage = app.display().qrImage;
        model.buttonEnabled = enabled;
        model.buttonTitle = title;
        return model;
    }
    [[nodiscard]] DisplayModel idle() const {
        return state(zel::kIdleStatus, zel::kIdleDetail, true, true, "开启");
    }

    zel::test::TempDir dir;
    zel::test::ScopedEnv stateHome{"XDG_STATE_HOME", dir.path().c_str()};
    std::vector<zel::test::Render> renders;
    zel::test::ManualMainQueue queue;
    std::unique_ptr<zel::ZelDesktopAgentApp> owner = zel::test::makeRecordedApp(queue, renders);
    zel::ZelDesktopAgentApp& app = *owner;
};

TEST_F(DisplayState, EachOperationPostsOneItemAndTheStartWalksToReady) {
    EXPECT_EQ(app.display(), idle());
    const std::pair<std::function<void()>, DisplayModel> steps[] = {
        {[&] { app.updateRunningState(true, std::nullopt); },
         state(zel::kIdleStatus, zel::kIdleDetail, true, false, "开启中...")},
        {[&] { app.updateStatus(zel::kServerStepStatus, zel::kServerStepDetail); },
         state(zel::kServerStepStatus, zel::kServerStepDetail, true, false, "开启中...")},
    };
    for (const auto& [call, expected] : steps) {
        const auto before = app.display();
        call();
        EXPECT_EQ(app.display(), before) << "changed off the main queue";
        EXPECT_EQ(queue.drain(), 1);
        EXPECT_EQ(app.display(), expected);
        EXPECT_EQ(renders.back().model, app.display()) << "window not given the last change";
    }
    app.showReady("https://c.trycloudflare.com");
    EXPECT_EQ(queue.drain(), 2);
    EXPECT_EQ(app.display(), state(zel::kReadyStatus, zel::kReadyDetail, false, true, "关闭"));
    EXPECT_EQ(app.pairingLink(), zel::makePairingLink("https://c.trycloudflare.com", ""));
    EXPECT_EQ(zel::makePairingLink("https://c.trycloudflare.com", "a+b/c="),
              "zel://mac-control?url=https%3A%2F%2Fc.trycloudflare.com%2F%3Ftoken%3Da%2Bb%2Fc%3D");
    EXPECT_EQ(app.display().qrImage, zel::makeQRCode(app.pairingLink()));
    EXPECT_EQ(zel::makeQRCode(std::string(4000, 'a')), std::nullopt); // beyond version 40 at M

    // A stop from a step goes idle.
    app.updateStatus(zel::kServerStepStatus, "d");
    app.stopProcesses();
    EXPECT_TRUE(app.pairingLink().empty());
    EXPECT_EQ(queue.drain(), 3);
    EXPECT_EQ(app.display(), idle());
}

// Once a device pairs, the code leaves the screen; the owner brings a fresh one back for the
// next device, and it leaves again when that one pairs or the owner hides it.
TEST_F(DisplayState, TheCodeLeavesTheScreenOnceADeviceHasPaired) {
    app.showReady("https://c.trycloudflare.com");
    queue.drain();
    const std::string first = app.pairingLink();
    const auto devices = [&](int count) {
        nlohmann::json list = nlohmann::json::array();
        for (int i = 0; i < count; ++i) {
            list.push_back({{"id", "d" + std::to_string(i)},
                            {"name", "Phone " + std::to_string(i)},
                            {"open", {"terminal", "live"}}});
        }
        app.handleAgentMessage({{"type", "devices"}, {"devices", list}});
    };
    const auto shows = [&](const std::string& status, bool qr, bool pairButton) {
        EXPECT_EQ(app.display().statusText, status);
        EXPECT_EQ(app.display().qrHidden, !qr) << status;
        EXPECT_EQ(app.display().pairButtonShown, pairButton) << status;
        EXPECT_EQ(renders.back().model, app.display()) << "not rendered";
    };
    devices(1);
    shows("已连接 1 台设备", false, true);
    EXPECT_EQ(app.display().devices.at(0).detail, "在线 · 实时画面、终端");
    app.pairAnotherDevice();
    shows(zel::kPairAnotherStatus, true, true);
    EXPECT_NE(app.pairingLink(), first) << "the code shown again must be a fresh one";
    EXPECT_EQ(app.display().qrImage, zel::makeQRCode(app.pairingLink()));
    app.pairAnotherDevice(); // hidden again by the owner
    shows("已连接 1 台设备", false, true);
    const std::string hidden = app.pairingLink();
    app.pairAnotherDevice();
    EXPECT_NE(app.pairingLink(), hidden) << "every showing is a fresh code";
    devices(2);
    shows("已连接 2 台设备", false, true);
    const std::string beforeLast = app.pairingLink();
    devices(0);
    shows(zel::kReadyStatus, true, false);
    EXPECT_NE(app.pairingLink(), beforeLast) << "a code that paired a device is shown again";
    // Rows without an id are no devices; a stop clears the list.
    app.handleAgentMessage({{"type", "devices"}, {"devices", {{{"name", "x"}}, 3}}});
    EXPECT_TRUE(app.display().devices.empty());
    devices(1);
    app.stopProcesses();
    queue.drain();
    EXPECT_TRUE(app.display().devices.empty());
    EXPECT_FALSE(app.display().pairButtonShown);
}

// Each kept device as the window lists it; the code comes back once every device is cut off, and
// the status counts who is online.
TEST_F(DisplayState, DevicesShowTheirStateAndTheCodeReturnsWhenNoneIsTrusted) {
    const nlohmann::json devices = {
        {{"id", "d1"}, {"name", "Phone"}, {"online", true}, {"open", {"live"}}, {"allowed", true}},
        {{"id", "d2"}, {"name", ""}, {"online", false}, {"lastSeen", 0}, {"allowed", true}},
        {{"id", "d3"}, {"name", "Tablet"}, {"online", false}, {"allowed", false}},
    };
    const auto rows = zel::deviceRows(devices);
    ASSERT_EQ(rows.size(), 3U);
    EXPECT_EQ(rows[0].detail, "在线 · 实时画面");
    EXPECT_EQ(std::tie(rows[1].name, rows[1].detail), std::tie("未知设备", "离线"));
    EXPECT_TRUE(rows[2].cutOff && !rows[2].online);
    EXPECT_EQ(rows[2].detail, "已断开，等待你允许");

    app.showReady("https://c.trycloudflare.com");
    queue.drain();
    app.handleAgentMessage({{"type", "devices"}, {"devices", devices}});
    EXPECT_EQ(app.display().statusText, zel::connectedStatus(1, 2));
    EXPECT_TRUE(app.display().qrHidden);
    nlohmann::json offline = devices;
    offline[0]["online"] = false;
    app.handleAgentMessage({{"type", "devices"}, {"devices", offline}});
    EXPECT_EQ(app.display().statusText, "已配对 2 台设备");
    nlohmann::json cutOff = devices;
    cutOff[0]["allowed"] = false;
    cutOff[1]["allowed"] = false;
    const std::string before = app.pairingLink();
    app.handleAgentMessage({{"type", "devices"}, {"devices", cutOff}});
    EXPECT_EQ(app.display().statusText, zel::kReadyStatus);
    EXPECT_FALSE(app.display().qrHidden);
    EXPECT_NE(app.pairingLink(), before) << "the code that paired them came back";
}

class RecordingPrinter final : public zel::StatusPrinter {
public:
    explicit RecordingPrinter(std::vector<std::string>& lines) : lines_(lines) {}
    void ready(const std::string& /*link*/) override { lines_.emplace_back("ready"); }
    void failed(const std::string& message) override { lines_.push_back("failed " + message); }
    void consent(const std::string& text) override { lines_.push_back(text); }

private:
    std::vector<std::string>& lines_;
};

// The desktop's word on the sharing (a refusal, the sharing ended) takes the instruction's place
// while the connection is ready and is printed once; asked again, the instruction is back.
TEST_F(DisplayState, TheDesktopsRefusalReplacesTheInstructionWhileReady) {
    std::function<void(const std::string&)> tell;
    zel::DesktopEnvironment desktop;
    desktop.consentHint = "hint";
    desktop.watchConsent = [&](std::function<void(const std::string&)> listener) {
        tell = std::move(listener);
    };
    auto portal = zel::test::makeRecordedApp(queue, renders, std::nullopt, std::move(desktop));
    std::vector<std::string> printed;
    portal->setStatusPrinter(std::make_unique<RecordingPrinter>(printed));
    ASSERT_TRUE(tell);
    struct Step {
        std::function<void()> call;
        std::string shown;
        std::vector<std::string> printed;
    };
    const Step steps[] = {
        {[&] { tell("no"); }, "", {}}, // before the connection is ready: kept for it
        {[&] { portal->showReady("https://c.trycloudflare.com"); }, "no", {"ready", "no"}},
        {[&] { tell("no"); }, "no", {}},
        {[&] { tell(""); }, "hint", {}},
        {[&] { tell("ended"); }, "ended", {"ended"}},
        {[&] { portal->stopProcesses(); }, "", {}},
        {[&] { tell(""); }, "", {}},
    };
    for (const auto& [call, shown, lines] : steps) {
        printed.clear();
        call();
        queue.drain();
        EXPECT_EQ(portal->display().consentText, shown);
        EXPECT_EQ(renders.back().model, portal->display()) << "not rendered";
        EXPECT_EQ(printed, lines) << shown;
    }
    portal.reset();
    EXPECT_FALSE(tell) << "the desktop still tells a gone app";
}

// A stop between the address and its ready item: the window never shows a dead tunnel's code.
TEST_F(DisplayState, AReadyItemAfterAStopShowsNothing) {
    app.showReady("https://c.trycloudflare.com");
    app.stopProcesses();
    renders.clear();
    queue.drain();
    for (const auto& render : renders) {
        EXPECT_NE(render.model.statusText, zel::kReadyStatus);
    }
    EXPECT_EQ(app.display(), idle());
}

TEST_F(DisplayState, FailureEndsFailedWhateverOrderTheItemsRun) {
    const std::function<void()> stop = [&] { app.stopProcesses(); };
    const std::function<void()> error = [&] { app.showError("boom"); };
    const std::function<void()> drain = [&] { queue.drain(); };
    const std::vector<std::function<void()>> orders[] = {
        {stop, error}, {error, stop}, {stop, drain, error}};
    for (const auto& order : orders) {
        app.updateRunningState(true, std::nullopt);
        app.updateStatus(zel::kServerStepStatus, "d");
        queue.drain();
        for (const auto& call : order) {
            call();
        }
        queue.drain();
        EXPECT_EQ(app.display(), state(zel::kFailedStatus, "boom", true, true, "开启"));
    }
}

// The control service's secret: canonical, and never the same twice.
TEST(UUID, CanonicalUpperCaseVersion4AndDistinct) {
    const std::regex canonical(
        "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string uuid = zel::makeUUIDString();
        ASSERT_TRUE(std::regex_match(uuid, canonical)) << uuid;
        ASSERT_TRUE(seen.insert(uuid).second) << "repeated " << uuid;
    }
}

// The pairing code: the form the agent server accepts (32 bytes in canonical base64url, so the
// last character carries 4 bits and 2 zero bits), never the same twice, every character in use.
TEST(PairingCode, CanonicalBase64UrlOf32BytesAndDistinct) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::set<std::string> seen;
    std::set<char> used;
    for (int i = 0; i < 200; ++i) {
        const std::string code = zel::makePairingCode();
        ASSERT_TRUE(std::regex_match(code, std::regex("[A-Za-z0-9_-]{43}"))) << code;
        EXPECT_EQ(alphabet.find(code.back()) % 4, 0U) << code;
        ASSERT_TRUE(seen.insert(code).second) << "repeated " << code;
        used.insert(code.begin(), code.end() - 1);
    }
    EXPECT_EQ(used.size(), 64U);
}

// The autostart entry: where the XDG rules look for it, what it starts, and gone when switched off.
TEST(Autostart, EntryStartsTheConnectionHiddenAndGoesWhenSwitchedOff) {
    const zel::test::TempDir dir;
    const zel::test::ScopedEnv config("XDG_CONFIG_HOME", dir.path().c_str());
    EXPECT_EQ(zel::autostartEntry(), dir.path() / "autostart/zel-desktop-agent.desktop");
    EXPECT_FALSE(zel::startsAtLogin());
    zel::setStartAtLogin(true, "/opt/my apps/zel-desktop-agent");
    ASSERT_TRUE(zel::startsAtLogin());
    const std::string entry = zel::test::readFile(zel::autostartEntry());
    EXPECT_NE(entry.find("\nExec=\"/opt/my apps/zel-desktop-agent\" --start --hidden\n"),
              std::string::npos)
        << entry;
    EXPECT_TRUE(entry.starts_with("[Desktop Entry]\nType=Application\n"));
    zel::setStartAtLogin(false, {});
    EXPECT_FALSE(zel::startsAtLogin());
    zel::setStartAtLogin(false, {}); // already gone: nothing to do
}

} // namespace
