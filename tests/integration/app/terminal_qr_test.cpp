// The pairing QR code for a machine without a monitor: the half-block drawing itself, and the real
// app started with --start under a private X server, its standard output rendered as a terminal
// shows it and decoded, against the window's QR code on the same screen.
#include "app/pairing.hpp"
#include "app/terminal_qr.hpp"
#include "tests/support/app_under_test.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/terminal_output.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using namespace std::chrono_literals;
using zel::test::readFile;
using zel::test::waitUntil;

TEST(TerminalQR, HalfBlocksCarryTheLightModulesTwoRowsPerLine) {
    // 1 = dark. Rows 0 and 1 share a line; row 2 shares one with the unlit half past the end.
    const zel::QRMatrix matrix{3,
                               {0, 1, 0, //
                                0, 0, 1, //
                                1, 0, 0}};
    EXPECT_EQ(zel::renderTerminalQR(matrix), "█▄▀\n ▀▀\n");
    EXPECT_EQ(zel::renderTerminalQR({3, {0, 1, 0}}), "") << "module count does not match size";
    EXPECT_EQ(zel::renderTerminalQR({}), "");
}

TEST(TerminalQR, SymbolsOfEverySizeDecodeAsTheTerminalDrawsThem) {
    const zel::test::TempDir dir;
    const std::string token(43, 'T');
    // Odd and even sizes, up to a link far longer than a tunnel address.
    for (const auto& link :
         {std::string("zel://x"),
          zel::makePairingLink("https://gentle-river-mosaic-lantern.trycloudflare.com", token),
          zel::makePairingLink("https://" + std::string(300, 'a') + ".example", token)}) {
        const auto matrix = zel::makeQRCode(link);
        ASSERT_TRUE(matrix.has_value());
        const auto rows = zel::test::terminalQRLines(zel::renderTerminalQR(*matrix));
        EXPECT_EQ(zel::test::decodeTerminalQR(rows, dir.path() / "qr.pgm"), link) << link.size();
    }
}

// Nobody presses the button: --start must.
zel::test::AppSetup startAtLaunch() {
    zel::test::AppSetup setup;
    setup.arguments = {"--start"};
    return setup;
}

TEST(TerminalQR, TheAppPrintsTheWindowsLinkAsACodeThatDecodesFromTheTerminal) {
    const zel::test::AppUnderTest started(startAtLaunch());
    std::optional<std::string> link;
    ASSERT_TRUE(waitUntil(
        [&] {
            return (link = zel::test::lineStartingWith(started.output(), "zel://")).has_value();
        },
        60s))
        << "no pairing link on standard output (nobody pressed the button: --start must)\n"
        << started.output() << "\nlog:\n"
        << started.log();
    const std::string token =
        nlohmann::json::parse(readFile(started.agentConfig()), nullptr, false).value("token", "");
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(*link,
              zel::makePairingLink("https://gentle-river-mosaic-lantern.trycloudflare.com", token));

    const std::string output = started.output();
    EXPECT_NE(output.find(zel::kReadyStatus), std::string::npos) << output;
    EXPECT_EQ(output.find("\x1b["), std::string::npos) << "colour codes in a file";
    const auto rows = zel::test::terminalQRLines(output);
    ASSERT_FALSE(rows.empty()) << output;
    EXPECT_EQ(zel::test::decodeTerminalQR(rows, started.dir.path() / "terminal.pgm"), *link);

    // The window shows the same link.
    std::string onScreen;
    EXPECT_TRUE(
        waitUntil([&] { return !(onScreen = started.qrOnScreen("terminal-qr")).empty(); }, 30s));
    EXPECT_EQ(onScreen, *link);
}

TEST(TerminalQR, AFailedStartPrintsItsReasonAndNoCode) {
    // The tunnel client gives up before it has an address, as it does without a network.
    zel::test::AppSetup setup = startAtLaunch();
    setup.tunnelScenario = R"({"writes": [], "exit": 1})";
    const zel::test::AppUnderTest started(setup);
    const std::string failure = std::string(zel::kFailedStatus) + "：" + zel::kTunnelFailedDetail;
    ASSERT_TRUE(waitUntil([&] { return started.output().find(failure) != std::string::npos; }, 60s))
        << started.output() << "\nlog:\n"
        << started.log();
    EXPECT_TRUE(zel::test::terminalQRLines(started.output()).empty()) << started.output();
    EXPECT_FALSE(zel::test::lineStartingWith(started.output(), "zel://").has_value());
}

} // namespace
