// The built app on a Wayland desktop with no X server (its DISPLAY empty), reached as the phone
// reaches it: on a headless sway (the wlroots platform; its window is the compositor's client,
// the live view's long poll is served, a recording client (wev) shows where a click landed) and
// on a headless mutter through the desktop portal, once the user allows each dialog as a user
// would (a click on each dialog first: one that came up without the focus can take it as the
// focus alone), the app's window on that desktop (not offscreen); a later run told "no" says so on
// the phone and on standard output. Its log names the platform either way. What the requests say
// before the answers: the portal test.
#include "app/display_model.hpp"
#include "input/own_windows.hpp"
#include "platform/portal/portal_session.hpp"
#include "platform/wayland/sway_windows.hpp"
#include "tests/support/app_under_test.hpp"
#include "tests/support/command.hpp"
#include "tests/support/input_arrivals.hpp"
#include "tests/support/mutter.hpp"
#include "tests/support/sway.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <optional>

namespace {

using namespace std::chrono_literals;
using zel::test::Mutter;
using zel::test::readFile;
using zel::test::runCommand;
using zel::test::waitUntil;

class AppOnWayland : public testing::TestWithParam<bool> {
protected:
    std::string curl(const std::vector<std::string>& arguments) const {
        std::vector<std::string> argv = {"curl", "-s", "--max-time", "20"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return runCommand(argv).output;
    }
    // A refusal's text is left in the file too, for the failure message.
    bool screenshot() const {
        return runCommand({"curl", "-s", "-o", png.string(), "-w", "%{http_code}",
                           shotURL + "&format=png&width=1920"})
                   .output == "200";
    }
    std::string pixel(int x, int y) const {
        return runCommand({"convert", png.string(), "-format",
                           "%[hex:p{" + std::to_string(x) + "," + std::to_string(y) + "}]",
                           "info:"})
            .output;
    }
    std::string input(const std::string& body) const {
        return curl({"http://127.0.0.1:8787/api/input", "-H", "Authorization: Bearer " + token,
                     "-H", "Content-Type: application/json", "--data-binary", body});
    }

    std::optional<zel::test::Sway> sway;
    std::optional<Mutter> mutter;
    std::optional<zel::test::AppUnderTest> app;
    std::filesystem::path png;
    std::string shotURL, token;
};
INSTANTIATE_TEST_SUITE_P(, AppOnWayland, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Portal" : "Wlroots"; });

TEST_P(AppOnWayland, ServesTheScreenAndInput) {
    const bool portal = GetParam();
    zel::test::AppSetup setup;
    setup.arguments = {"--start"};
    // The compositor's socket by its full path: the app keeps a runtime directory of its own.
    std::string socket;
    if (portal) {
        socket = mutter.emplace().clientEnv()[2].substr(std::string("WAYLAND_DISPLAY=").size());
        // The window on the desktop itself, as a user has it when the dialogs come.
        setup.environment = {"DBUS_SESSION_BUS_ADDRESS=" + mutter->busAddress(),
                             "QT_QPA_PLATFORM=wayland"};
    } else {
        socket = sway.emplace("for_window [app_id=\"wev\"] fullscreen enable").socket();
        setup.environment = {"QT_QPA_PLATFORM=wayland", sway->clientEnv().back()}; // SWAYSOCK
    }
    setup.environment.insert(setup.environment.end(), {"WAYLAND_DISPLAY=" + socket, "DISPLAY="});
    // A run of the app with nothing kept from an earlier one.
    const auto start = [&] {
        app.reset();
        app.emplace(setup);
        png = app->dir.path() / "shot.png";
        ASSERT_TRUE(
            waitUntil([&] { return std::filesystem::exists(app->tunnelInvocation()); }, 60s))
            << app->log();
        const std::string platform =
            "Platform: Wayland (" + socket + (portal ? ") through the desktop portal." : ").");
        EXPECT_TRUE(waitUntil([&] { return app->log().find(platform) != std::string::npos; }, 10s))
            << app->log();
        ASSERT_TRUE(waitUntil(
            [&] { return !(shotURL = app->agentVariable("ZEL_AGENT_SCREENSHOT_URL")).empty(); },
            10s));
        ASSERT_TRUE(waitUntil([&] { return !(token = app->token()).empty(); }, 10s));
    };
    ASSERT_NO_FATAL_FAILURE(start());

    if (portal) {
        // The texts name the dialogs' parts as the desktop shows them in Chinese.
        const auto shownAs = [](const char* english) {
            const std::string text = runCommand({"env", "LANG=C.UTF-8", "LANGUAGE=zh_CN", "gettext",
                                                 "-d", "xdg-desktop-portal-gnome", english})
                                         .output;
            return "“" + text.substr(0, text.find("(_")) + "”"; // "分享(_S)": the mnemonic goes
        };
        using zel::portal::kControlWaitingText;
        using zel::portal::kScreenWaitingText;
        const std::pair<const char*, std::vector<std::string>> words[] = {
            {"Screen Share", {zel::kPortalConsentHint, kScreenWaitingText}},
            {"Remote desktop", {zel::kPortalConsentHint, kControlWaitingText}},
            {"Allow remote interaction", {zel::kPortalConsentHint, kControlWaitingText}},
            {"_Share", {zel::kPortalConsentHint, kScreenWaitingText, kControlWaitingText}},
        };
        for (const auto& [english, texts] : words) {
            for (const std::string& text : texts) {
                EXPECT_NE(text.find(shownAs(english)), std::string::npos)
                    << english << ": " << text;
            }
        }
        // The phone's look at the screen says, in those words, what the desktop waits for.
        EXPECT_FALSE(screenshot());
        EXPECT_NE(readFile(png).find(kScreenWaitingText), std::string::npos) << readFile(png);
        ASSERT_TRUE(
            mutter->answerDialog(Mutter::Dialog::screen, true, [&] { return screenshot(); }))
            << "the app's last answer: " << readFile(png).substr(0, 300);
    } else {
        ASSERT_TRUE(screenshot());
        // The compositor's background beside the window, as only the Wayland capture sees it.
        EXPECT_EQ(pixel(40, 1040), "204080");
    }
    EXPECT_EQ(runCommand({"convert", png.string(), "-format", "%w %h", "info:"}).output,
              "1920 1080");
    const char* click = R"({"action":"click","coordinate":[250,750]})";
    if (portal) {
        // Until the user answers, a tap says what the desktop waits for, in the dialog's words;
        // standard output has the whole instruction.
        EXPECT_NE(input(click).find("电脑正在等待你允许远程控制"), std::string::npos);
        EXPECT_NE(app->output().find(zel::kPortalConsentHint), std::string::npos) << app->output();
        // The screen is shared by now: the clicks wait until the dialog shows in it.
        const auto shown = [&] {
            screenshot();
            return zel::test::dialogShown([&](int x, int y) {
                const auto rgb = static_cast<int>(std::stoul("0" + pixel(x, y), nullptr, 16));
                return std::array<int, 3>{(rgb >> 16) & 0xff, (rgb >> 8) & 0xff, rgb & 0xff};
            });
        };
        ASSERT_TRUE(mutter->answerDialog(
            Mutter::Dialog::control, true,
            [&] { return input(click).find("\"ok\":true") != std::string::npos; }, shown));
        // Characters outside the desktop's keymap are named to the phone, the rest typed into
        // the window that has the focus (a new one: keys never go to the app's own).
        const std::string wevLog = mutter->path("wev.log");
        const zel::test::Child wev({"sh", "-c", "exec stdbuf -oL wev >\"$0\" 2>&1", wevLog},
                                   mutter->clientEnv());
        ASSERT_TRUE(waitUntil(
            [&] { return readFile(wevLog).find("wl_keyboard] enter") != std::string::npos; }, 10s))
            << readFile(wevLog);
        // The app learns that its window lost the focus a moment after wev: until then keys are
        // refused before anything is typed.
        std::string typed;
        EXPECT_TRUE(waitUntil(
            [&] {
                typed = input(R"({"action":"type_text","text":"a中a"})");
                return typed.find(zel::kOwnWindowKeysMessage) == std::string::npos;
            },
            10s));
        EXPECT_NE(typed.find(R"("skippedText":"中")"), std::string::npos) << typed;
        EXPECT_TRUE(waitUntil(
            [&] { return zel::test::typedText(zel::test::parseWev(readFile(wevLog))) == "aa"; },
            10s))
            << readFile(wevLog);

        // A user who says no to a run that asks again: the phone's requests and standard output
        // say what happened and what to do, in the user's words.
        ASSERT_NO_FATAL_FAILURE(start());
        const std::string refused = zel::portal::kScreenRefusedText;
        ASSERT_TRUE(mutter->answerDialog(
            Mutter::Dialog::screen, false,
            [&] { return !screenshot() && readFile(png).find(refused) != std::string::npos; }))
            << "the app's last answer: " << readFile(png).substr(0, 300);
        EXPECT_NE(input(click).find(refused), std::string::npos);
        EXPECT_TRUE(
            waitUntil([&] { return app->output().find(refused) != std::string::npos; }, 10s))
            << app->output();
        return;
    }

    // The live view's long poll is served (the app handed it sway's damage): the whole frame.
    std::string tilesURL = shotURL;
    const std::string body =
        curl({"-f", tilesURL.replace(tilesURL.find("/screenshot?"), 12, "/tiles?") +
                        "&width=960&wait=5000&since=0"});
    const auto first = nlohmann::json::parse(body.substr(0, body.find('\n')), nullptr, false);
    ASSERT_TRUE(first.is_object()) << first;
    EXPECT_TRUE(first.value("full", false)) << first;

    // The app's own window, where sway put it and with the focus: never operated from afar.
    const auto own = zel::wayland::windowsOf(
        nlohmann::json::parse(sway->message({"-t", "get_tree"}).output, nullptr, false),
        app->app->pid());
    ASSERT_EQ(own.areas.size(), 1U) << sway->message({"-t", "get_tree"}).output;
    const auto& window = own.areas[0];
    const std::string onWindow =
        R"({"action":"click","coordinate":[)" +
        std::to_string(static_cast<int>((window.x + window.width / 2) * 1000 / 1920)) + "," +
        std::to_string(static_cast<int>((window.y + window.height / 2) * 1000 / 1080)) + "]}";
    EXPECT_NE(input(onWindow).find(zel::kOwnWindowPointerMessage), std::string::npos);
    EXPECT_NE(input(R"({"action":"key","key":"space"})").find(zel::kOwnWindowKeysMessage),
              std::string::npos);

    const std::string wevLog = sway->path("wev.log");
    const zel::test::Child wev({"sh", "-c", "exec stdbuf -oL wev >\"$0\" 2>&1", wevLog},
                               sway->clientEnv());
    ASSERT_TRUE(waitUntil([&] { return readFile(wevLog).find("fullscreen") != wevLog.npos; }, 10s));
    const std::string answer = input(click);
    EXPECT_NE(answer.find("\"ok\":true"), std::string::npos) << answer;
    EXPECT_NE(answer.find("\"width\":1920"), std::string::npos) << answer;
    const zel::test::Events arrives = {"press 1 480,810", "release 1 480,810"};
    EXPECT_TRUE(waitUntil([&] { return zel::test::parseWev(readFile(wevLog)) == arrives; }, 10s))
        << readFile(wevLog);
}

} // namespace
