// Where the picture keeps changing from one update to the next (a video, an animation): the one
// area worth sending as a video stream. Fed with what changed in each update of one viewer's
// stream, in that stream's frame pixels.
#pragma once

#include "capture/tile_plan.hpp"

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace zel {

class MovingRegion {
public:
    static constexpr int kCell = 32;

    // One update of a frameWidth × frameHeight picture at `millis`, and the areas that changed in
    // it. Returns the region to send as video from now on: whole cells (clipped to the frame, even
    // width and height), or nothing. A new frame size starts over.
    std::optional<TileRect> update(const std::vector<TileRect>& changed, int frameWidth,
                                   int frameHeight, std::int64_t millis);
    [[nodiscard]] std::optional<TileRect> region() const { return region_; }
    // The video costs more than its tiles did: tiles again, and no region for a while (twice as
    // long each time, until the picture pauses).
    void decline(std::int64_t millis);

private:
    [[nodiscard]] std::optional<TileRect> candidate() const;

    int width_ = 0;
    int height_ = 0;
    int columns_ = 0;
    int rows_ = 0;
    std::vector<std::uint16_t> history_; // per cell, bit n: changed n updates ago
    std::deque<std::int64_t> times_;     // of the last sixteen updates
    bool frequent_ = false;              // they came at least ten a second
    std::optional<TileRect> region_;
    std::int64_t declinedUntil_ = 0;
    static constexpr std::int64_t kFirstBackoffMs = 10'000;
    std::int64_t backoffMs_ = kFirstBackoffMs;
    int quiet_ = 0; // updates in a row that changed nothing in region_
    std::int64_t lastMillis_ = 0;
};

} // namespace zel
