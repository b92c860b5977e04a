// The pairing QR code for a machine without a monitor: the half-block drawing itself, and the real
// app started with --start under a private X server, its standard output rendered as a terminal
// shows it and decoded. (A failed start prints its reason and no link: the end-to-end test.)
#include "app/pairing.hpp"
#include "app/terminal_qr.hpp"
#include "tests/support/app_under_test.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/terminal_output.hpp"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
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

TEST(TerminalQR, TheAppPrintsTheLinkAsACodeThatDecodesFromTheTerminal) {
    zel::test::AppSetup setup;
    setup.arguments = {"--start"}; // nobody presses the button
    const zel::test::AppUnderTest started(setup);
    std::optional<std::string> link;
    ASSERT_TRUE(waitUntil(
        [&] {
            return (link = zel::test::lineStartingWith(started.output(), "zel://")).has_value();
        },
        60s))
        << "no pairing link on standard output\n"
        << started.output() << "\nlog:\n"
        << started.log();
    // The window's code, read off the screen, is checked against the same link end to end.
    EXPECT_EQ(*link, zel::makePairingLink("https://gentle-river-mosaic-lantern.trycloudflare.com",
                                          started.token()));
    const std::string output = started.output();
    EXPECT_NE(output.find(zel::kReadyStatus), std::string::npos) << output;
    EXPECT_EQ(output.find("\x1b["), std::string::npos) << "colour codes in a file";
    const auto rows = zel::test::terminalQRLines(output);
    ASSERT_FALSE(rows.empty()) << output;
    EXPECT_EQ(zel::test::decodeTerminalQR(rows, started.dir.path() / "terminal.pgm"), *link);
}

} // namespace
