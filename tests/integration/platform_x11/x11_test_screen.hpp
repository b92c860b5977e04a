// The X11 tests' screen: colour blocks painted on the root window, and captures read for them.
#pragma once

#include "platform/x11/x11_connection.hpp"
#include "tests/support/stream_frame.hpp"

#include <array>
#include <bit>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace zel::test {

// 0xRRGGBB as a pixel value of the root visual, whatever its channel masks.
inline std::uint32_t pixelValue(const zel::x11::Connection& connection, std::uint32_t rgb) {
    const xcb_screen_t& screen = connection.screen();
    for (auto depth = xcb_screen_allowed_depths_iterator(&screen); depth.rem > 0;
         xcb_depth_next(&depth)) {
        for (auto it = xcb_depth_visuals_iterator(depth.data); it.rem > 0;
             xcb_visualtype_next(&it)) {
            if (it.data->visual_id != screen.root_visual) {
                continue;
            }
            std::uint32_t value = 0;
            const std::uint32_t masks[3] = {it.data->red_mask, it.data->green_mask,
                                            it.data->blue_mask};
            for (int channel = 0; channel < 3; ++channel) {
                const std::uint32_t mask = masks[channel];
                const std::uint32_t full = mask >> std::countr_zero(mask);
                const std::uint32_t eight = (rgb >> (16 - 8 * channel)) & 0xff;
                value |= ((eight * full + 127) / 255) << std::countr_zero(mask);
            }
            return value;
        }
    }
    ADD_FAILURE() << "no root visual";
    return 0;
}

// Paints the root window's background with rectangles of 0xRRGGBB colours, at whatever depth. The
// connection is returned to be held: when its last client leaves, the X server resets and the
// picture is gone.
[[nodiscard]] inline std::shared_ptr<zel::x11::Connection>
paintRoot(const std::string& display,
          const std::vector<std::pair<xcb_rectangle_t, std::uint32_t>>& blocks) {
    auto connection = zel::x11::Connection::open(display.c_str());
    xcb_connection_t* c = connection->get();
    const xcb_screen_t& screen = connection->screen();
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, screen.root_depth, pixmap, screen.root, screen.width_in_pixels,
                      screen.height_in_pixels);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, pixmap, 0, nullptr);
    for (const auto& [rectangle, colour] : blocks) {
        const std::uint32_t value = pixelValue(*connection, colour);
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &value);
        xcb_poly_fill_rectangle(c, pixmap, gc, 1, &rectangle);
    }
    xcb_change_window_attributes(c, screen.root, XCB_CW_BACK_PIXMAP, &pixmap);
    xcb_clear_area(c, 0, screen.root, 0, 0, 0, 0);
    xcb_free_gc(c, gc);
    xcb_free_pixmap(c, pixmap);
    EXPECT_TRUE(zel::x11::Reply<xcb_get_input_focus_reply_t>(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)));
    return connection;
}

// Eight colour blocks in two rows over the whole screen.
constexpr std::uint32_t kBlockColours[8] = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff,
                                            0x000000, 0x808080, 0x00ffff, 0xff00ff};

[[nodiscard]] inline std::shared_ptr<zel::x11::Connection> paintBlocks(const std::string& display,
                                                                       int width, int height) {
    std::vector<std::pair<xcb_rectangle_t, std::uint32_t>> blocks;
    for (int i = 0; i < 8; ++i) {
        blocks.push_back(
            {{static_cast<std::int16_t>(i % 4 * width / 4),
              static_cast<std::int16_t>(i / 4 * height / 2), static_cast<std::uint16_t>(width / 4),
              static_cast<std::uint16_t>(height / 2)},
             kBlockColours[i]});
    }
    return paintRoot(display, blocks);
}

// Each block's colour at its centre, in a capture of the whole screen at any scale.
inline void expectBlocks(const Image& image, int tolerance, const std::string& label) {
    for (int i = 0; i < 8; ++i) {
        const auto seen = pixelAt(image, (i % 4 * 2 + 1) * image.width() / 8,
                                  (i / 4 * 2 + 1) * image.height() / 4);
        for (int channel = 0; channel < 3; ++channel) {
            EXPECT_NEAR(seen[channel], (kBlockColours[i] >> (16 - 8 * channel)) & 0xff, tolerance)
                << label << " block " << i << " channel " << channel;
        }
    }
}

} // namespace zel::test
