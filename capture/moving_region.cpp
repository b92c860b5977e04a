#include "capture/moving_region.hpp"

#include <algorithm>
#include <bit>

namespace zel {
namespace {

// A cell is moving when it changed in half of the last sixteen updates, one of the last two among
// them, while updates came at least ten a second with no pause longer than kMaxGapMs: a video
// changes every frame, typing a line a few times a second. Half, not all: a window that redraws
// row by row, faster than its frames come, leaves some of its rows for the next update. Around
// moving cells, those that changed in a quarter of them, lately too, join the region.
constexpr int kMovingUpdates = 8;
constexpr unsigned kMovingLately = 0b11;
constexpr int kWarmUpdates = 4;
constexpr unsigned kWarmLately = 0b1111;
constexpr int kWarmReach = 2; // cells beyond the region's box
constexpr std::int64_t kMaxGapMs = 500;
constexpr std::int64_t kHistory = 16;
constexpr std::int64_t kMaxSpanMs = 1500; // of the last sixteen updates
// The smallest region worth a stream, in cells, and how much of its box must be moving.
constexpr int kMinColumns = 4;
constexpr int kMinRows = 3;
constexpr double kMinFill = 0.5;
// Updates in a row without a change in the region before it goes back to tiles.
constexpr int kQuietUpdates = 3;
// The longest wait after a declined video.
constexpr std::int64_t kMaxBackoffMs = 160'000;

} // namespace

std::optional<TileRect> MovingRegion::update(const std::vector<TileRect>& changed, int frameWidth,
                                             int frameHeight, std::int64_t millis) {
    if (frameWidth != width_ || frameHeight != height_) {
        width_ = frameWidth;
        height_ = frameHeight;
        columns_ = (frameWidth + kCell - 1) / kCell;
        rows_ = (frameHeight + kCell - 1) / kCell;
        history_.assign(static_cast<std::size_t>(columns_) * rows_, 0);
        times_.clear();
        region_.reset();
    } else if (millis - lastMillis_ > kMaxGapMs) {
        std::fill(history_.begin(), history_.end(), 0); // a pause: no longer every frame
        times_.clear();
        backoffMs_ = kFirstBackoffMs; // what moves after it may be another picture
    }
    lastMillis_ = millis;
    times_.push_back(millis);
    if (static_cast<std::int64_t>(times_.size()) > kHistory) {
        times_.pop_front();
    }
    // At least ten a second over the updates it remembers.
    frequent_ = millis - times_.front() <=
                static_cast<std::int64_t>(times_.size() - 1) * kMaxSpanMs / (kHistory - 1);
    for (std::uint16_t& cell : history_) {
        cell = static_cast<std::uint16_t>(cell << 1U);
    }
    bool inRegion = false;
    for (const TileRect& rect : changed) {
        const int x0 = std::max(0, rect.x) / kCell;
        const int y0 = std::max(0, rect.y) / kCell;
        const int x1 =
            std::min(columns_, (std::min(width_, rect.x + rect.width) + kCell - 1) / kCell);
        const int y1 =
            std::min(rows_, (std::min(height_, rect.y + rect.height) + kCell - 1) / kCell);
        for (int row = y0; row < y1; ++row) {
            for (int column = x0; column < x1; ++column) {
                history_[static_cast<std::size_t>(row) * columns_ + column] |= 1;
            }
        }
        inRegion =
            inRegion || (region_ && rect.width > 0 && rect.height > 0 && overlaps(rect, *region_));
    }
    quiet_ = inRegion ? 0 : quiet_ + 1;
    if (millis < declinedUntil_) {
        return region_;
    }
    const std::optional<TileRect> next = candidate();
    if (region_ && quiet_ >= kQuietUpdates) {
        region_.reset();
    }
    // A region moves or shrinks to the new one; one within it keeps the stream as it is.
    if (next && (!region_ || !contains(*region_, *next) ||
                 2 * next->width * next->height < region_->width * region_->height)) {
        region_ = next;
        quiet_ = 0;
    }
    return region_;
}

void MovingRegion::decline(std::int64_t millis) {
    region_.reset();
    declinedUntil_ = millis + backoffMs_;
    backoffMs_ = std::min(kMaxBackoffMs, 2 * backoffMs_);
}

std::optional<TileRect> MovingRegion::candidate() const {
    if (!frequent_) {
        return std::nullopt;
    }
    const auto changedIn = [&](int column, int row, int updates, unsigned lately) {
        const std::uint16_t cell = history_[static_cast<std::size_t>(row) * columns_ + column];
        return std::popcount(cell) >= updates && (cell & lately) != 0;
    };
    int left = columns_;
    int top = rows_;
    int right = -1;
    int bottom = -1;
    int moving = 0;
    for (int row = 0; row < rows_; ++row) {
        for (int column = 0; column < columns_; ++column) {
            if (!changedIn(column, row, kMovingUpdates, kMovingLately)) {
                continue;
            }
            ++moving;
            left = std::min(left, column);
            right = std::max(right, column);
            top = std::min(top, row);
            bottom = std::max(bottom, row);
        }
    }
    if (moving == 0 || right - left + 1 < kMinColumns || bottom - top + 1 < kMinRows ||
        moving < kMinFill * (right - left + 1) * (bottom - top + 1)) {
        return std::nullopt;
    }
    for (bool grew = true; grew;) {
        grew = false;
        const int x0 = std::max(0, left - kWarmReach);
        const int x1 = std::min(columns_ - 1, right + kWarmReach);
        const int y0 = std::max(0, top - kWarmReach);
        const int y1 = std::min(rows_ - 1, bottom + kWarmReach);
        for (int row = y0; row <= y1; ++row) {
            for (int column = x0; column <= x1; ++column) {
                const bool inside =
                    column >= left && column <= right && row >= top && row <= bottom;
                if (inside || !changedIn(column, row, kWarmUpdates, kWarmLately)) {
                    continue;
                }
                left = std::min(left, column);
                right = std::max(right, column);
                top = std::min(top, row);
                bottom = std::max(bottom, row);
                grew = true;
            }
        }
    }
    TileRect rect{left * kCell, top * kCell, 0, 0};
    rect.width = std::min(width_, (right + 1) * kCell) - rect.x;
    rect.height = std::min(height_, (bottom + 1) * kCell) - rect.y;
    rect.width -= rect.width % 2; // the video's chroma planes are half the size
    rect.height -= rect.height % 2;
    return rect;
}

} // namespace zel
