#include "capture/change_tiles.hpp"

#include "base/app_error.hpp"
#include "capture/main_process_screenshot.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

namespace zel {
namespace {

// Reports kept for viewers that are behind; one further back gets the whole frame.
constexpr std::size_t kLogLimit = 4096;
// Waiters whose requests have gone (answered by their time-out) are dropped beyond this.
constexpr std::size_t kWaiterLimit = 256;
// Past these the tiles cost more than one frame: its JPEG compresses across tile edges.
constexpr double kWholeFrameShare = 0.5;
constexpr std::size_t kMaximumTiles = 64;

const char* const kUnableToEncode = "Unable to encode screenshot.";

} // namespace

std::vector<TileRect> planTiles(const std::vector<ChangeRect>& changes,
                                const CaptureDisplay& display, int frameWidth, int frameHeight,
                                const std::function<bool(int column, int row)>& unchanged) {
    std::vector<TileRect> whole{{0, 0, frameWidth, frameHeight}};
    if (display.width < 1 || display.height < 1 || frameWidth < 1 || frameHeight < 1) {
        return whole;
    }
    const int columns = (frameWidth + kTileCell - 1) / kTileCell;
    const int rows = (frameHeight + kTileCell - 1) / kTileCell;
    std::vector<bool> dirty(static_cast<std::size_t>(columns) * rows, false);
    const double sx = static_cast<double>(frameWidth) / display.width;
    const double sy = static_cast<double>(frameHeight) / display.height;
    for (const ChangeRect& change : changes) {
        // One frame pixel of margin: the filter carries a change into its neighbours.
        const int x0 = std::max(0, static_cast<int>(std::floor((change.x - display.x) * sx)) - 1);
        const int y0 = std::max(0, static_cast<int>(std::floor((change.y - display.y) * sy)) - 1);
        const int x1 =
            std::min(frameWidth,
                     static_cast<int>(std::ceil((change.x + change.width - display.x) * sx)) + 1);
        const int y1 =
            std::min(frameHeight,
                     static_cast<int>(std::ceil((change.y + change.height - display.y) * sy)) + 1);
        for (int row = y0 / kTileCell; row * kTileCell < y1; ++row) {
            for (int column = x0 / kTileCell; column * kTileCell < x1; ++column) {
                dirty[static_cast<std::size_t>(row) * columns + column] = true;
            }
        }
    }
    if (unchanged) {
        for (int row = 0; row < rows; ++row) {
            for (int column = 0; column < columns; ++column) {
                const std::size_t cell = static_cast<std::size_t>(row) * columns + column;
                if (dirty[cell] && unchanged(column, row)) {
                    dirty[cell] = false;
                }
            }
        }
    }
    // Runs of dirty cells per row; a run equal to one in the row above extends that tile down.
    std::vector<TileRect> cells;   // in cells
    std::vector<std::size_t> open; // tiles ending on the row above
    for (int row = 0; row < rows; ++row) {
        std::vector<std::size_t> next;
        for (int column = 0; column < columns;) {
            if (!dirty[static_cast<std::size_t>(row) * columns + column]) {
                ++column;
                continue;
            }
            const int start = column;
            while (column < columns && dirty[static_cast<std::size_t>(row) * columns + column]) {
                ++column;
            }
            const auto above = std::ranges::find_if(open, [&](std::size_t i) {
                return cells[i].x == start && cells[i].width == column - start;
            });
            if (above != open.end()) {
                ++cells[*above].height;
                next.push_back(*above);
            } else {
                next.push_back(cells.size());
                cells.push_back({start, row, column - start, 1});
            }
        }
        open = std::move(next);
    }
    std::vector<TileRect> tiles;
    long long area = 0;
    for (const TileRect& cell : cells) {
        TileRect tile{cell.x * kTileCell, cell.y * kTileCell, cell.width * kTileCell,
                      cell.height * kTileCell};
        tile.width = std::min(tile.width, frameWidth - tile.x);
        tile.height = std::min(tile.height, frameHeight - tile.y);
        area += static_cast<long long>(tile.width) * tile.height;
        tiles.push_back(tile);
    }
    if (tiles.size() > kMaximumTiles ||
        static_cast<double>(area) > kWholeFrameShare * frameWidth * frameHeight) {
        return whole;
    }
    return tiles;
}

ChangeTiles::ChangeTiles(std::shared_ptr<CaptureBackend> capture,
                         std::shared_ptr<ChangeSource> changes)
    : capture_(std::move(capture)), source_(std::move(changes)) {}

ChangeTiles::~ChangeTiles() {
    const std::lock_guard guard(watchMutex_);
    watch_.reset();
}

void ChangeTiles::record(const ChangeReport& report) {
    std::vector<Waiter> woken;
    {
        const std::lock_guard guard(mutex_);
        ++sequence_;
        if (report.everything) {
            everythingAt_ = sequence_;
            log_.clear();
        } else {
            for (const ChangeRect& rect : report.rects) {
                log_.push_back({sequence_, rect});
            }
            while (log_.size() > kLogLimit) {
                forgottenAt_ = log_.front().sequence;
                log_.pop_front();
            }
        }
        ended_ = ended_ || report.ended;
        woken.swap(waiters_);
    }
    for (Waiter& waiter : woken) {
        waiter.changed();
    }
}

void ChangeTiles::ensureWatching() {
    const std::lock_guard watchGuard(watchMutex_);
    {
        const std::lock_guard guard(mutex_);
        if (!ended_) {
            return;
        }
    }
    watch_.reset(); // a watch that ended has left its thread by now, or is about to
    {
        const std::lock_guard guard(mutex_);
        ended_ = false;
    }
    try {
        watch_ = source_->watch([this](const ChangeReport& report) { record(report); });
    } catch (const std::exception& error) {
        const std::lock_guard guard(mutex_);
        ended_ = true;
        // The agent server knows this text: it takes whole screenshots instead.
        throw AppError(std::string("Change tracking is not available: ") + error.what());
    }
}

void ChangeTiles::awaitChange(std::uint64_t since, std::function<void()> changed) {
    ensureWatching();
    std::vector<Waiter> dropped;
    {
        const std::lock_guard guard(mutex_);
        if (sequence_ == since) {
            if (waiters_.size() >= kWaiterLimit) {
                dropped.swap(waiters_); // told early; the gone ones ignore it
            }
            waiters_.push_back({since, std::move(changed)});
            changed = nullptr;
        }
    }
    for (Waiter& waiter : dropped) {
        waiter.changed();
    }
    if (changed) {
        changed();
    }
}

std::vector<std::uint8_t> ChangeTiles::tiles(std::uint64_t since, int width, int quality) {
    std::uint64_t sequence = 0;
    bool full = false;
    std::vector<ChangeRect> changes;
    {
        const std::lock_guard guard(mutex_);
        sequence = sequence_;
        full = since == 0 || since > sequence_ || since < everythingAt_ || since < forgottenAt_;
        if (!full) {
            for (auto it = log_.rbegin(); it != log_.rend() && it->sequence > since; ++it) {
                changes.push_back(it->rect);
            }
        }
    }
    std::optional<Shown> base;
    std::uint64_t answer = 0;
    {
        const std::lock_guard guard(shownMutex_);
        answer = ++answers_;
        if (!full && shown_ && shown_->sequence == since) {
            base = std::move(shown_);
        }
        shown_.reset();
    }
    std::string head = "{\"sequence\":" + std::to_string(sequence);
    std::vector<std::uint8_t> files;
    if (!full && sequence == since) {
        head += ",\"full\":false,\"tiles\":[]}\n";
    } else {
        // Captured after the log was read, so the frame holds every change up to `sequence`.
        const std::vector<CaptureDisplay> displays = capture_->displays();
        const Image frame = MainProcessScreenshot::captureFrame(*capture_, width);
        const std::optional<Image> scaled = MainProcessScreenshot::resizedImage(frame, width);
        if (displays.empty() || !scaled) {
            throw AppError(displays.empty() ? "No display is available." : kUnableToEncode);
        }
        if (base &&
            (base->image.width() != scaled->width() || base->image.height() != scaled->height())) {
            base.reset();
        }
        const ConstPixelView now = scaled->view();
        const auto unchanged = [&](int column, int row) {
            const ConstPixelView before = std::as_const(base->image).view();
            const int x = column * kTileCell;
            const std::size_t bytes =
                static_cast<std::size_t>(std::min(kTileCell, now.width - x)) * 4;
            for (int y = row * kTileCell; y < std::min((row + 1) * kTileCell, now.height); ++y) {
                const std::size_t at = y * now.stride + static_cast<std::size_t>(x) * 4;
                if (std::memcmp(now.data + at, before.data + at, bytes) != 0) {
                    return false;
                }
            }
            return true;
        };
        const std::vector<TileRect> plan =
            full ? std::vector<TileRect>{{0, 0, scaled->width(), scaled->height()}}
                 : planTiles(changes, displays.front(), scaled->width(), scaled->height(),
                             base ? std::function<bool(int, int)>(unchanged) : nullptr);
        full =
            plan.size() == 1 && plan.front() == TileRect{0, 0, scaled->width(), scaled->height()};
        head += ",\"width\":" + std::to_string(scaled->width()) +
                ",\"height\":" + std::to_string(scaled->height()) +
                ",\"full\":" + (full ? "true" : "false") + ",\"tiles\":[";
        const ConstPixelView pixels = scaled->view();
        for (std::size_t i = 0; i < plan.size(); ++i) {
            const TileRect& tile = plan[i];
            const std::optional<std::vector<std::uint8_t>> jpeg = MainProcessScreenshot::encodeJpeg(
                {pixels.data + static_cast<std::size_t>(tile.y) * pixels.stride +
                     static_cast<std::size_t>(tile.x) * 4,
                 tile.width, tile.height, pixels.stride},
                quality);
            if (!jpeg) {
                throw AppError(kUnableToEncode);
            }
            head += (i ? ",[" : "[") + std::to_string(tile.x) + "," + std::to_string(tile.y) + "," +
                    std::to_string(tile.width) + "," + std::to_string(tile.height) + "," +
                    std::to_string(jpeg->size()) + "]";
            files.insert(files.end(), jpeg->begin(), jpeg->end());
            if (base) {
                for (int y = tile.y; y < tile.y + tile.height; ++y) {
                    const std::size_t at = y * pixels.stride + static_cast<std::size_t>(tile.x) * 4;
                    std::memcpy(base->image.data() + at, pixels.data + at,
                                static_cast<std::size_t>(tile.width) * 4);
                }
            }
        }
        head += "]}\n";
        if (full) {
            base = Shown{sequence, *scaled};
        }
    }
    if (base) {
        base->sequence = sequence;
        const std::lock_guard guard(shownMutex_);
        if (answers_ == answer) {
            shown_ = std::move(base);
        }
    }
    std::vector<std::uint8_t> body(head.begin(), head.end());
    body.insert(body.end(), files.begin(), files.end());
    return body;
}

} // namespace zel
