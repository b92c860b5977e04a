// The live view's tiles over X11's Damage on a private Xvfb, at the desktop's own pixels where the
// changed areas are grabbed through MIT-SHM: painted windows come in small tiles of their colour.
#include "app/desktop_environment.hpp"
#include "control_service/control_service.hpp"
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_damage.hpp"
#include "platform/x11/x11_input.hpp"
#include "tests/integration/platform_x11/x11_test_screen.hpp"
#include "tests/support/command.hpp"
#include "tests/support/control_client.hpp"
#include "tests/support/damage_tiles.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <csignal>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace zel {
namespace {

TEST(X11DamageTiles, HoldThePaintedColourAndNothingIsSentWhenNothingChanged) {
    // The X server is stopped under live connections at the end, and libxcb writes without
    // MSG_NOSIGNAL: a write then must fail, not end the test program.
    std::signal(SIGPIPE, SIG_IGN);
    test::Xvfb xvfb(1280, 800);
    auto painter = test::paintRoot(xvfb.display(), {{{0, 0, 1280, 800}, 0x000000}});
    const test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
    const auto input = x11::makeInputBackend();
    std::vector<std::unique_ptr<test::Child>> windows;
    // xlogo drawn in its background colour alone.
    const auto paint = [&](std::size_t i) {
        const auto& [r, rgb] = test::kDamagePaints[i];
        const std::string colour = "'#" + std::string(rgb) + "'";
        windows.push_back(std::make_unique<test::Child>(std::vector<std::string>{
            "sh", "-c",
            "exec xlogo -bw 0 -bg " + colour + " -fg " + colour + " -geometry " +
                std::to_string(r.width) + "x" + std::to_string(r.height) + "+" +
                std::to_string(r.x) + "+" + std::to_string(r.y) + " 2>/dev/null"}));
    };
    test::checkDamageTiles(x11::makeCaptureBackend(), x11::makeChangeSource(), *input, 1280, 800,
                           true, paint, [&] {
                               windows.clear();
                               painter.reset();
                               xvfb.stop();
                           });
}

// The pointer route follows xdotool; a viewer that draws the pointer itself gets frames without the
// cursor and no tiles for its moves, while one that does not still does.
TEST(X11DamageTiles, PointerRouteFollowsThePointerAndItsMovesSendNoTilesToAViewerDrawingIt) {
    using namespace std::chrono_literals;
    std::signal(SIGPIPE, SIG_IGN);
    test::Xvfb xvfb(1280, 800);
    auto painter = test::paintRoot(xvfb.display(), {{{0, 0, 1280, 800}, 0x000000}});
    const test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
    ChangeTiles tiles(x11::makeCaptureBackend(), x11::makeChangeSource());
    const auto head = [](const std::string& body) {
        return nlohmann::json::parse(body.substr(0, body.find('\n')));
    };
    const auto called = [](const std::function<void(std::function<void()>)>& await,
                           std::chrono::milliseconds limit) {
        auto promise = std::make_shared<std::promise<void>>();
        await([promise] { promise->set_value(); });
        return promise->get_future().wait_for(limit) == std::future_status::ready;
    };
    const auto mouse = [&](int x, int y) {
        test::runCommand({"xdotool", "mousemove", std::to_string(x), std::to_string(y)});
    };
    mouse(20, 20);
    ASSERT_TRUE(called([&](auto done) { tiles.awaitPointer(0, done); }, 5s));
    nlohmann::json pointer = nlohmann::json::parse(tiles.pointer());
    for (const auto& [x, y] : {std::pair{640, 400}, {1000, 123}, {5, 790}}) {
        mouse(x, y);
        EXPECT_TRUE(test::waitUntil(
            [&, x = x, y = y] {
                pointer = nlohmann::json::parse(tiles.pointer());
                return pointer["x"] == x && pointer["y"] == y;
            },
            5s))
            << pointer.dump();
        EXPECT_EQ(pointer["visible"], true);
        EXPECT_EQ(std::pair(pointer["width"], pointer["height"]),
                  std::pair(nlohmann::json(1280), nlohmann::json(800)));
    }
    const std::string shape = tiles.pointerShape();
    const nlohmann::json shapeHead = head(shape);
    EXPECT_EQ(shapeHead["serial"], pointer["serial"]);
    EXPECT_GT(shapeHead["width"].get<int>(), 0);
    EXPECT_LT(shapeHead["hotX"].get<int>(), shapeHead["width"].get<int>());
    EXPECT_EQ(shape.substr(shape.find('\n') + 1, 4), "\x89PNG");

    // A whole frame for each kind of viewer: the black desktop alone, or with the cursor on it.
    const test::TempDir dir;
    const std::string file = (dir.path() / "frame").string();
    std::uint64_t sequence[2] = {};
    for (const bool drawsPointer : {true, false}) {
        const auto body = tiles.tiles(0, 2560, 90, true, drawsPointer);
        const std::string text(body.begin(), body.end());
        sequence[drawsPointer ? 1 : 0] = head(text)["sequence"];
        std::ofstream(file, std::ios::binary) << text.substr(text.find('\n') + 1);
        const std::string colours =
            test::runCommand({"convert", file, "-format", "%k", "info:"}).output;
        EXPECT_EQ(colours == "1", drawsPointer) << "colours in the frame: " << colours;
    }
    // Only the pointer moves: the viewer drawing it hears of it on the pointer route alone.
    const std::uint64_t pointerSince = pointer["sequence"];
    mouse(300, 300);
    EXPECT_TRUE(called([&](auto done) { tiles.awaitPointer(pointerSince, done); }, 5s));
    EXPECT_TRUE(called([&](auto done) { tiles.awaitChange(sequence[0], done, false); }, 5s))
        << "a viewer with the cursor in its frames missed its move";
    EXPECT_FALSE(called([&](auto done) { tiles.awaitChange(sequence[1], done, true); }, 1s))
        << "a pointer move woke a viewer that draws the pointer itself";
    const auto quiet = tiles.tiles(sequence[1], 2560, 90, true, true);
    EXPECT_EQ(head(std::string(quiet.begin(), quiet.end()))["tiles"].size(), 0U);
    painter.reset();
    xvfb.stop();
}

// The zoom and settle routes over the X11 backends on a private Xvfb, wired as the app wires them:
// a zoom is its region at the desktop's own pixels; /settle reports where a window that xdotool
// moves was and went, and settles with nothing on a still screen.
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
