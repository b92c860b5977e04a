// The live view's tiles over a platform's own damage, checked alike on each platform: what is
// painted comes in small tiles holding its colour, nothing comes on a still desktop, the pointer's
// move is reported where it went, and the server's end ends the watch.
#pragma once

#include "capture/change_tiles.hpp"
#include "input/input_actions.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

namespace zel::test {

// Painted areas and their colours; a platform's test puts a client of the colour there.
inline const std::pair<ChangeRect, const char*> kDamagePaints[] = {{{400, 300, 120, 80}, "ff0000"},
                                                                   {{900, 100, 100, 60}, "00ff00"}};

// Whether ImageMagick's "RRGGBB" is the colour, within what JPEG blurs.
inline bool nearColour(const std::string& hex, const std::string& rgb) {
    const auto channel = [](const std::string& text, std::size_t i) {
        return text.size() < i + 2 ? -999 : std::stoi(text.substr(i, 2), nullptr, 16);
    };
    return std::ranges::all_of(std::array{0, 2, 4}, [&](std::size_t i) {
        return std::abs(channel(hex, i) - channel(rgb, i)) < 60;
    });
}

// Paints kDamagePaints through `paint(i)` on a desktop of width × height, asking for tiles at
// the desktop's own pixels with copies (`copies`) or scaled to half; then moves the pointer and
// stops the server through `stop`.
inline void checkDamageTiles(const std::shared_ptr<CaptureBackend>& capture,
                             const std::shared_ptr<ChangeSource>& changes, InputBackend& input,
                             int width, int height, bool copies,
                             const std::function<void(std::size_t)>& paint,
                             const std::function<void()>& stop) {
    using namespace std::chrono_literals;
    const int scale = copies ? 1 : 2;
    const TempDir dir;
    const std::string file = (dir.path() / "tile").string();
    ChangeTiles tiles(capture, changes);
    const auto answer = [&](std::uint64_t since) {
        const auto body = tiles.tiles(since, copies ? 2560 : width / 2, 90, copies);
        const auto end = std::find(body.begin(), body.end(), '\n');
        return std::pair{nlohmann::json::parse(body.begin(), end),
                         std::string(end + 1, body.end())};
    };
    const auto changed = [&](std::uint64_t since, std::chrono::milliseconds limit = 5s) {
        auto promise = std::make_shared<std::promise<void>>();
        tiles.awaitChange(since, [promise] { promise->set_value(); });
        return promise->get_future().wait_for(limit) == std::future_status::ready;
    };
    ASSERT_TRUE(changed(0)) << "the watch's first report never came";
    std::uint64_t since = answer(0).first["sequence"];
    const auto settle = [&] { // the server may still be drawing its first frames
        for (int i = 0; i < 30 && changed(since, 300ms); ++i) {
            since = answer(since).first["sequence"];
        }
    };
    settle();
    EXPECT_FALSE(changed(since, 1s)) << "a report while nothing was drawn";

    for (std::size_t i = 0; i < 2; ++i) {
        const auto& [area, rgb] = kDamagePaints[i];
        paint(i);
        // The centre of the painted area in frame pixels, and its colour as ImageMagick reads a
        // tile's file there. A client may draw in more than one frame.
        const int cx = (area.x + area.width / 2) / scale, cy = (area.y + area.height / 2) / scale;
        bool shown = false;
        for (const auto end = std::chrono::steady_clock::now() + 10s;
             !shown && std::chrono::steady_clock::now() < end;) {
            ASSERT_TRUE(changed(since));
            auto [head, files] = answer(since);
            ASSERT_EQ(std::pair(head["full"], head["width"]),
                      std::pair(nlohmann::json(false), nlohmann::json(width / scale)));
            since = head["sequence"];
            std::size_t at = 0;
            int covering = 0;
            for (const auto& tile : head["tiles"]) {
                const int x = tile[0], y = tile[1], w = tile[2], h = tile[3];
                EXPECT_LT(w * h, width * height / scale / scale / 8)
                    << "a small change, a small tile";
                std::ofstream(file, std::ios::binary) << files.substr(at, tile[4]);
                at += tile[4].get<std::size_t>();
                const bool inside = x <= cx && y <= cy && x + w > cx && y + h > cy;
                const std::string seen =
                    runCommand({"convert", file, "-format",
                                "%w %h %[hex:p{" + std::to_string(inside ? cx - x : 0) + "," +
                                    std::to_string(inside ? cy - y : 0) + "}]",
                                "info:"})
                        .output;
                EXPECT_TRUE(seen.starts_with(std::to_string(w) + " " + std::to_string(h) + " "))
                    << seen;
                covering += inside ? 1 : 0;
                shown = shown || (inside && nearColour(seen.substr(seen.rfind(' ') + 1), rgb));
            }
            EXPECT_EQ(at, files.size());
            EXPECT_LE(covering, 1) << head.dump();
        }
        EXPECT_TRUE(shown) << "no tile showed the painted colour";
    }

    // The pointer's move is reported where it went, not over the whole desktop (tiles would hide
    // that: they leave out cells whose pixels are as they were); as the cursor's own where the
    // source tells it apart.
    std::mutex mutex;
    std::vector<ChangeRect> rects;
    const auto watch = changes->watch([&](const ChangeReport& report) {
        const std::lock_guard guard(mutex);
        rects.insert(rects.end(), report.rects.begin(), report.rects.end());
        rects.insert(rects.end(), report.cursorRects.begin(), report.cursorRects.end());
    });
    const auto covers = [](const ChangeRect& r, int x, int y) {
        return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
    };
    for (const auto& [x, y] : {std::pair{700, 400}, {150, 900}}) { // per mille
        InputActions::perform(input,
                              nlohmann::json{{"action", "move"}, {"coordinate", {x, y}}}.dump());
        EXPECT_TRUE(waitUntil(
            [&, x = x, y = y] {
                const std::lock_guard guard(mutex);
                return std::ranges::any_of(rects, [&](const ChangeRect& r) {
                    return covers(r, width * x / 1000, height * y / 1000) &&
                           !covers(r, width - 20, 20);
                });
            },
            5s))
            << x;
    }

    // The server goes: the watch ends, and starting another names why it cannot.
    stop();
    EXPECT_TRUE(waitUntil(
        [&] {
            return errorText([&] { tiles.awaitChange(since, [] {}); })
                .starts_with("Change tracking is not available: Cannot connect");
        },
        10s));
}

} // namespace zel::test
