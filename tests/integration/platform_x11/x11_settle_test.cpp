// The zoom and settle routes over the X11 backends on a private Xvfb, wired as the app wires them:
// a zoom is its region at the desktop's own pixels; /settle reports where a window that xdotool
// moves was and went, and settles with nothing on a still screen.
#include "app/desktop_environment.hpp"
#include "control_service/control_service.hpp"
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_damage.hpp"
#include "platform/x11/x11_input.hpp"
#include "tests/integration/platform_x11/x11_test_screen.hpp"
#include "tests/support/command.hpp"
#include "tests/support/control_client.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace zel {
namespace {

using nlohmann::json;

bool covers(const json& boxes, int x, int y) {
    return std::ranges::any_of(boxes, [&](const json& b) {
        return b[0] <= x && x < b[0].get<int>() + b[2].get<int>() && b[1] <= y &&
               y < b[1].get<int>() + b[3].get<int>();
    });
}

TEST(X11Settle, ZoomsAtTheDesktopsPixelsAndSettlesAfterAWindowMoves) {
    std::signal(SIGPIPE, SIG_IGN);
    test::Xvfb xvfb(1280, 800);
    auto painter = test::paintBlocks(xvfb.display(), 1280, 800); // 320 × 400 blocks
    const test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
    DesktopEnvironment desktop;
    desktop.capture = x11::makeCaptureBackend();
    desktop.input = x11::makeInputBackend();
    desktop.changes = x11::makeChangeSource();
    ControlService service({.port = 0, .secret = "s", .handlers = controlHandlers(desktop)});
    const auto get = [&](const std::string& target) {
        return test::parseReply(test::roundTrip(
            service.port(), "GET " + target + "&secret=s HTTP/1.1\r\nHost: h\r\n\r\n"));
    };
    const auto settle = [&](const std::string& query) {
        const auto reply = get("/settle?" + query);
        EXPECT_EQ(reply.status, "200 OK") << reply.body;
        return json::parse(reply.body);
    };

    // Across the edge of the red and green blocks (x = 320), at its own pixels and halved.
    const test::TempDir dir;
    const std::string file = (dir.path() / "zoom.png").string();
    const std::tuple<const char*, int, const char*> zooms[] = {
        // target, its last column, size and the colours of its first and last pixels
        {"/screenshot?format=png&region=300,100,40,20", 39, "40 20 FF0000 00FF00"},
        {"/screenshot?format=png&region=300,100,40,20&width=20", 19, "20 10 FF0000 00FF00"},
        {"/screenshot?format=png&region=1270,790,40,40", 9, "10 10 FF00FF FF00FF"}};
    for (const auto& [target, last, expected] : zooms) {
        const auto reply = get(target);
        ASSERT_EQ(reply.status, "200 OK") << target << " " << reply.body;
        std::ofstream(file, std::ios::binary) << reply.body;
        const auto seen = test::runCommand(
            {"convert", file, "-format",
             "%w %h %[hex:p{0,0}] %[hex:p{" + std::to_string(last) + ",0}]", "info:"});
        EXPECT_EQ(seen.output, expected) << target;
    }
    EXPECT_EQ(get("/screenshot?region=1280,0,10,10").body,
              "Main app screenshot failed: The region lies outside the screen.");

    // Whatever the start drew, then a still screen.
    settle("quiet_ms=300&limit_ms=10000");
    const json still = settle("quiet_ms=300&limit_ms=10000");
    EXPECT_EQ(still["settled"], true);
    EXPECT_EQ(still["source"], "changes");
    EXPECT_EQ(still["boxes"], json::array());
    EXPECT_EQ(still["display"], json::parse(R"({"x":0,"y":0,"width":1280,"height":800})"));

    const test::Child logo({"sh", "-c",
                            "exec xlogo -bw 0 -bg '#ffff00' -fg '#ffff00' -geometry 100x80+400+300 "
                            "2>/dev/null"});
    ASSERT_EQ(test::runCommand({"xdotool", "search", "--sync", "--name", "xlogo"}).exitStatus, 0);
    settle("quiet_ms=300&limit_ms=10000"); // mapped and drawn
    const std::uint64_t since = settle("quiet_ms=0&limit_ms=0")["sequence"];
    ASSERT_EQ(test::runCommand({"xdotool", "search", "--name", "xlogo", "windowmove", "800", "500"})
                  .exitStatus,
              0);
    const json moved = settle("quiet_ms=300&limit_ms=10000&since=" + std::to_string(since));
    EXPECT_EQ(moved["settled"], true);
    EXPECT_TRUE(covers(moved["boxes"], 450, 340)) << moved.dump(); // where it was
    EXPECT_TRUE(covers(moved["boxes"], 850, 540)) << moved.dump(); // where it went
    EXPECT_FALSE(covers(moved["boxes"], 100, 700)) << moved.dump();
    EXPECT_GE(moved["elapsed_ms"].get<int>(), 300);
}

} // namespace
} // namespace zel
