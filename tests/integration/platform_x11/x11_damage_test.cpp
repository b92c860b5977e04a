// Change tracking on a private Xvfb: the tiles of what Damage reports hold the painted colour
// and nothing far from it.
#include "capture/change_tiles.hpp"
#include "platform/x11/x11_capture.hpp"
#include "platform/x11/x11_damage.hpp"
#include "tests/integration/platform_x11/x11_test_screen.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <future>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using namespace std::chrono_literals;

// A rectangle filled straight onto the root window: damage of exactly that area.
void fill(zel::x11::Connection& connection, xcb_rectangle_t rectangle, std::uint32_t rgb) {
    xcb_connection_t* c = connection.get();
    const xcb_gcontext_t gc = xcb_generate_id(c);
    const std::uint32_t values[] = {zel::test::pixelValue(connection, rgb),
                                    XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
    xcb_create_gc(c, gc, connection.root(), XCB_GC_FOREGROUND | XCB_GC_SUBWINDOW_MODE, values);
    xcb_poly_fill_rectangle(c, connection.root(), gc, 1, &rectangle);
    xcb_free_gc(c, gc);
    ASSERT_TRUE(connection.sync(3s));
}

// Scaled to half (whole captures, JPEG), and at the desktop's own pixels for a viewer that takes
// copies (after the first frame only the changed areas are grabbed; PNG for flat colour).
class X11DamageTiles : public testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(ScaledAndOwn, X11DamageTiles, testing::Bool());

TEST_P(X11DamageTiles, HoldThePaintedColourAndNothingIsSentWhenNothingChanged) {
    const bool copies = GetParam();
    const int scale = copies ? 1 : 2;
    const zel::test::Xvfb xvfb(1280, 800);
    const auto painter = zel::test::paintRoot(xvfb.display(), {{{0, 0, 1280, 800}, 0x000000}});
    const zel::test::ScopedEnv env("DISPLAY", xvfb.display().c_str());
    zel::ChangeTiles tiles(zel::x11::makeCaptureBackend(), zel::x11::makeChangeSource());
    const auto answer = [&](std::uint64_t since) {
        const auto body = tiles.tiles(since, copies ? 2560 : 640, 90, copies);
        const auto end = std::find(body.begin(), body.end(), '\n');
        return std::pair{nlohmann::json::parse(body.begin(), end),
                         std::vector<std::uint8_t>(end + 1, body.end())};
    };
    const auto changed = [&](std::uint64_t since, std::chrono::milliseconds limit = 5s) {
        auto promise = std::make_shared<std::promise<void>>();
        tiles.awaitChange(since, [promise] { promise->set_value(); });
        return promise->get_future().wait_for(limit) == std::future_status::ready;
    };
    ASSERT_TRUE(changed(0));
    const auto [first, firstFiles] = answer(0);
    EXPECT_EQ(first["full"], true);
    EXPECT_EQ(first["tiles"].size(), 1U);
    std::uint64_t since = first["sequence"];
    // Settled: the server may still be drawing the painted background.
    while (changed(since, 300ms)) {
        since = answer(since).first["sequence"];
    }
    const auto [still, stillFiles] = answer(since);
    EXPECT_EQ(still["sequence"], since);
    EXPECT_EQ(still["tiles"].size(), 0U) << "nothing changed, nothing sent";

    for (const auto& [area, rgb] : {std::pair{xcb_rectangle_t{400, 300, 60, 40}, 0xff0000U},
                                    std::pair{xcb_rectangle_t{900, 100, 30, 30}, 0x00ff00U}}) {
        fill(*painter, area, rgb);
        ASSERT_TRUE(changed(since));
        auto [head, files] = answer(since);
        ASSERT_EQ(head["full"], false);
        EXPECT_EQ(head["width"], 1280 / scale);
        since = head["sequence"];
        // The centre of the painted area, in frame pixels.
        const int cx = (area.x + area.width / 2) / scale, cy = (area.y + area.height / 2) / scale;
        const int want = static_cast<int>(rgb >> 16U) > 0 ? 0 : 1; // the channel painted
        int covered = 0;
        std::size_t at = 0;
        for (const auto& tile : head["tiles"]) {
            const int x = tile[0], y = tile[1], w = tile[2], h = tile[3];
            const std::size_t bytes = tile[4];
            EXPECT_LT(w * h, 1280 * 800 / scale / scale / 8) << "a small change sends a small tile";
            const auto decoded =
                zel::test::decode({files.begin() + at, files.begin() + at + bytes});
            at += bytes;
            ASSERT_EQ(std::pair(decoded.width, decoded.height), std::pair(w, h));
            if (x <= cx && y <= cy && x + w > cx && y + h > cy) {
                const auto pixel = decoded.at(cx - x, cy - y);
                EXPECT_GT(pixel[want], 200);
                EXPECT_LT(pixel[1 - want], 60);
                ++covered;
            }
        }
        EXPECT_EQ(at, files.size());
        EXPECT_EQ(covered, 1) << head.dump();
    }

    fill(*painter, {400, 300, 60, 40}, 0xff0000); // drawn again, the same pixels
    ASSERT_TRUE(changed(since));
    EXPECT_EQ(answer(since).first["tiles"].size(), 0U) << "what the viewer has is not sent again";
}

} // namespace
