// The live view's tiles over X11's Damage on a private Xvfb, at the desktop's own pixels where the
// changed areas are grabbed through MIT-SHM: painted windows come in small tiles of their colour.
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_damage.hpp"
#include "platform/x11/x11_input.hpp"
#include "tests/integration/platform_x11/x11_test_screen.hpp"
#include "tests/support/damage_tiles.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <csignal>
#include <fstream>
#include <future>
#include <gtest/gtest.h>

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

} // namespace
} // namespace zel
