#include "capture/change_tiles.hpp"

#include "base/app_error.hpp"
#include "base/c_handle.hpp"
#include "capture/screenshot.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <spng.h>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace zel {
namespace {

// Reports kept for viewers that are behind; one further back gets the whole frame.
constexpr std::size_t kLogLimit = 4096;
// Waiters whose requests have gone (answered by their time-out) are dropped beyond this.
constexpr std::size_t kWaiterLimit = 256;
// Past these the tiles cost more than one frame: its JPEG compresses across tile edges.
constexpr double kWholeFrameShare = 0.5;
// The viewer decodes every tile on its own (about a third of a millisecond each in a phone's
// browser): the ragged tiles of a moving picture took 7 times as long to show as their bounding
// box, for about the same bytes.
constexpr std::size_t kMaximumTiles = 16;

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
    // Too many pieces (a moving picture leaves scattered unchanged cells): their bounding box.
    if (cells.size() > kMaximumTiles) {
        TileRect box = cells.front();
        for (const TileRect& cell : cells) {
            const int right = std::max(box.x + box.width, cell.x + cell.width);
            const int bottom = std::max(box.y + box.height, cell.y + cell.height);
            box = {std::min(box.x, cell.x), std::min(box.y, cell.y), 0, 0};
            box.width = right - box.x;
            box.height = bottom - box.y;
        }
        cells = {box};
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
    if (static_cast<double>(area) > kWholeFrameShare * frameWidth * frameHeight) {
        return whole;
    }
    return tiles;
}

namespace {

// The changed rectangles in frame pixels of an unscaled frame, overlapping or touching ones
// joined: a scroll's copied area and its new line come as separate rectangles.
std::vector<TileRect> changedRegions(const std::vector<ChangeRect>& changes,
                                     const CaptureDisplay& display, int width, int height) {
    std::vector<TileRect> regions;
    for (const ChangeRect& change : changes) {
        const int x0 = std::max(0, change.x - display.x);
        const int y0 = std::max(0, change.y - display.y);
        const int x1 = std::min(width, change.x - display.x + change.width);
        const int y1 = std::min(height, change.y - display.y + change.height);
        if (x1 > x0 && y1 > y0) {
            regions.push_back({x0, y0, x1 - x0, y1 - y0});
        }
    }
    const auto join = [](TileRect& a, const TileRect& b) {
        const int x1 = std::max(a.x + a.width, b.x + b.width);
        const int y1 = std::max(a.y + a.height, b.y + b.height);
        a.x = std::min(a.x, b.x);
        a.y = std::min(a.y, b.y);
        a.width = x1 - a.x;
        a.height = y1 - a.y;
    };
    if (regions.size() > kMaximumTiles) { // a viewer far behind: one box
        TileRect box = regions.front();
        for (const TileRect& r : regions) {
            join(box, r);
        }
        return {box};
    }
    for (bool joined = true; joined;) {
        joined = false;
        for (std::size_t i = 0; i < regions.size() && !joined; ++i) {
            for (std::size_t j = i + 1; j < regions.size(); ++j) {
                const TileRect& a = regions[i];
                const TileRect& b = regions[j];
                if (a.x <= b.x + b.width && b.x <= a.x + a.width && a.y <= b.y + b.height &&
                    b.y <= a.y + a.height) {
                    join(regions[i], b);
                    regions.erase(regions.begin() + static_cast<std::ptrdiff_t>(j));
                    joined = true;
                    break;
                }
            }
        }
    }
    return regions;
}

std::uint64_t rowHash(ConstPixelView pixels, int x, int y, int width) {
    const auto* at = reinterpret_cast<const char*>(pixels.data + y * pixels.stride +
                                                   static_cast<std::size_t>(x) * 4);
    return std::hash<std::string_view>{}(std::string_view(at, static_cast<std::size_t>(width) * 4));
}

bool sameRow(ConstPixelView a, int ay, ConstPixelView b, int by, int x, int width) {
    const std::size_t offset = static_cast<std::size_t>(x) * 4;
    return std::memcmp(a.data + ay * a.stride + offset, b.data + by * b.stride + offset,
                       static_cast<std::size_t>(width) * 4) == 0;
}

// Rows shorter than this are not worth a copy's entry; a shift needs this many distinct rows
// voting for it.
constexpr int kMinimumCopyRows = 4;
constexpr int kMinimumVotes = 3;
// A row found more often than this in the old picture (blank lines) says nothing about a shift.
constexpr int kCommonRow = 2;
// Past this many pixels a tile's PNG is compressed fast rather than small.
constexpr long long kSmallTilePixels = 64LL * 1024;

} // namespace

std::vector<TileCopy> findScrolls(ConstPixelView before, ConstPixelView now,
                                  const std::vector<TileRect>& regions) {
    std::vector<TileCopy> copies;
    if (before.width != now.width || before.height != now.height) {
        return copies;
    }
    for (const TileRect& region : regions) {
        const int x = std::max(0, region.x);
        const int width = std::min(now.width, region.x + region.width) - x;
        const int y0 = std::max(0, region.y);
        const int y1 = std::min(now.height, region.y + region.height);
        if (width < 1 || y1 - y0 < 2 * kMinimumCopyRows) {
            continue;
        }
        const auto rows = static_cast<std::size_t>(y1 - y0);
        std::vector<std::uint64_t> oldHash(rows);
        std::vector<std::uint64_t> newHash(rows);
        std::unordered_map<std::uint64_t, std::pair<int, int>> oldRows; // hash → first row, count
        for (int y = y0; y < y1; ++y) {
            oldHash[y - y0] = rowHash(before, x, y, width);
            newHash[y - y0] = rowHash(now, x, y, width);
            ++oldRows.try_emplace(oldHash[y - y0], y, 0).first->second.second;
        }
        std::unordered_map<int, int> votes; // shift → rows it explains
        for (int y = y0; y < y1; ++y) {
            if (newHash[y - y0] == oldHash[y - y0]) {
                continue;
            }
            const auto found = oldRows.find(newHash[y - y0]);
            if (found != oldRows.end() && found->second.second <= kCommonRow) {
                ++votes[y - found->second.first];
            }
        }
        int shift = 0;
        int best = 0;
        for (const auto& [dy, count] : votes) {
            if (count > best || (count == best && std::abs(dy) < std::abs(shift))) {
                shift = dy;
                best = count;
            }
        }
        if (best < kMinimumVotes || shift == 0) {
            continue;
        }
        // Runs of rows the shift explains exactly, each worth a copy when it changes something.
        std::vector<TileCopy> runs;
        int start = -1;
        bool useful = false;
        for (int y = y0; y <= y1; ++y) {
            const int from = y - shift;
            const bool explained = y < y1 && from >= y0 && from < y1 &&
                                   newHash[y - y0] == oldHash[from - y0] &&
                                   sameRow(now, y, before, from, x, width);
            if (explained) {
                start = start < 0 ? y : start;
                useful = useful || newHash[y - y0] != oldHash[y - y0];
            } else if (start >= 0) {
                if (useful && y - start >= kMinimumCopyRows) {
                    runs.push_back({x, start - shift, width, y - start, x, start});
                }
                start = -1;
                useful = false;
            }
        }
        // Moving up, a run's source lies below it: top to bottom reads each source before a
        // later copy covers it (and bottom to top when moving down).
        if (shift > 0) {
            std::ranges::reverse(runs);
        }
        copies.insert(copies.end(), runs.begin(), runs.end());
    }
    return copies;
}

void applyCopies(PixelView picture, const std::vector<TileCopy>& copies) {
    for (const TileCopy& c : copies) {
        if (c.width < 1 || c.height < 1 || c.x < 0 || c.y < 0 || c.toX < 0 || c.toY < 0 ||
            std::max(c.x, c.toX) + c.width > picture.width ||
            std::max(c.y, c.toY) + c.height > picture.height) {
            continue;
        }
        const auto row = [&](int i) {
            std::memmove(
                picture.data + (c.toY + i) * picture.stride + static_cast<std::size_t>(c.toX) * 4,
                picture.data + (c.y + i) * picture.stride + static_cast<std::size_t>(c.x) * 4,
                static_cast<std::size_t>(c.width) * 4);
        };
        if (c.toY > c.y) {
            for (int i = c.height - 1; i >= 0; --i) {
                row(i);
            }
        } else {
            for (int i = 0; i < c.height; ++i) {
                row(i);
            }
        }
    }
}

std::optional<std::vector<std::uint8_t>> encodePalettePng(ConstPixelView pixels) {
    if (pixels.width < 1 || pixels.height < 1) {
        return std::nullopt;
    }
    // Colours to palette indices: open addressing, four slots per possible colour.
    constexpr std::size_t kSlots = 1024;
    std::array<std::uint32_t, kSlots> keys{};
    std::array<std::int16_t, kSlots> slots{};
    slots.fill(-1);
    spng_plte palette{};
    std::vector<std::uint8_t> indices(static_cast<std::size_t>(pixels.width) * pixels.height);
    std::uint32_t last = 0;
    int lastIndex = -1;
    for (int y = 0; y < pixels.height; ++y) {
        const std::uint8_t* in = pixels.data + y * pixels.stride;
        std::uint8_t* out = indices.data() + static_cast<std::size_t>(y) * pixels.width;
        for (int x = 0; x < pixels.width; ++x, in += 4) {
            const std::uint32_t colour = in[0] | (in[1] << 8U) | (in[2] << 16U);
            if (colour != last || lastIndex < 0) {
                std::size_t slot = (colour * 2654435761U) >> 22U;
                while (slots[slot] >= 0 && keys[slot] != colour) {
                    slot = (slot + 1) % kSlots;
                }
                if (slots[slot] < 0) {
                    if (palette.n_entries == 256) {
                        return std::nullopt;
                    }
                    keys[slot] = colour;
                    slots[slot] = static_cast<std::int16_t>(palette.n_entries);
                    palette.entries[palette.n_entries++] = {in[2], in[1], in[0], 255};
                }
                last = colour;
                lastIndex = slots[slot];
            }
            out[x] = static_cast<std::uint8_t>(lastIndex);
        }
    }
    // Fewer bits per index where the palette allows: less for zlib to go through.
    const std::uint8_t depth = palette.n_entries <= 2    ? 1
                               : palette.n_entries <= 4  ? 2
                               : palette.n_entries <= 16 ? 4
                                                         : 8;
    const std::size_t rowBytes = (static_cast<std::size_t>(pixels.width) * depth + 7) / 8;
    std::vector<std::uint8_t> packed(rowBytes * pixels.height, 0);
    for (int y = 0; y < pixels.height; ++y) {
        const std::uint8_t* in = indices.data() + static_cast<std::size_t>(y) * pixels.width;
        std::uint8_t* out = packed.data() + rowBytes * y;
        for (int x = 0; x < pixels.width; ++x) {
            const std::size_t bit = static_cast<std::size_t>(x) * depth;
            out[bit / 8] |= static_cast<std::uint8_t>(in[x] << (8 - depth - bit % 8));
        }
    }
    const CHandle<spng_ctx, spng_ctx_free> context(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!context) {
        return std::nullopt;
    }
    spng_ctx* ctx = context.get();
    spng_ihdr header{};
    header.width = static_cast<std::uint32_t>(pixels.width);
    header.height = static_cast<std::uint32_t>(pixels.height);
    header.bit_depth = depth;
    header.color_type = SPNG_COLOR_TYPE_INDEXED;
    const bool small = static_cast<long long>(pixels.width) * pixels.height <= kSmallTilePixels;
    if (spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1) != 0 ||
        spng_set_option(ctx, SPNG_IMG_COMPRESSION_LEVEL, small ? 9 : 1) != 0 ||
        spng_set_option(ctx, SPNG_FILTER_CHOICE, SPNG_FILTER_CHOICE_NONE) != 0 ||
        spng_set_ihdr(ctx, &header) != 0 || spng_set_plte(ctx, &palette) != 0 ||
        spng_encode_image(ctx, packed.data(), packed.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) !=
            0) {
        return std::nullopt;
    }
    return Screenshot::encodedPng(ctx);
}

EncodedTiles encodeTiles(const std::vector<ChangeRect>& changes, const CaptureDisplay& display,
                         ConstPixelView now, Image* before, int quality, bool copies, bool whole) {
    EncodedTiles encoded;
    if (before != nullptr && (before->width() != now.width || before->height() != now.height)) {
        before = nullptr;
    }
    // A scroll is a whole-pixel shift only in a frame at the desktop's own resolution.
    if (!whole && before != nullptr && copies && now.width == display.width &&
        now.height == display.height) {
        encoded.copies = findScrolls(std::as_const(*before).view(), now,
                                     changedRegions(changes, display, now.width, now.height));
        applyCopies(before->view(), encoded.copies);
    }
    const auto unchanged = [&](int column, int row) {
        const ConstPixelView old = std::as_const(*before).view();
        const int x = column * kTileCell;
        const int width = std::min(kTileCell, now.width - x);
        for (int y = row * kTileCell; y < std::min((row + 1) * kTileCell, now.height); ++y) {
            if (!sameRow(now, y, old, y, x, width)) {
                return false;
            }
        }
        return true;
    };
    const TileRect all{0, 0, now.width, now.height};
    encoded.tiles =
        whole ? std::vector<TileRect>{all}
              : planTiles(changes, display, now.width, now.height,
                          before != nullptr ? std::function<bool(int, int)>(unchanged) : nullptr);
    encoded.whole = encoded.tiles.size() == 1 && encoded.tiles.front() == all;
    if (encoded.whole) {
        encoded.copies.clear(); // the one tile covers whatever they drew
    }
    for (const TileRect& tile : encoded.tiles) {
        const ConstPixelView pixels{now.data + static_cast<std::size_t>(tile.y) * now.stride +
                                        static_cast<std::size_t>(tile.x) * 4,
                                    tile.width, tile.height, now.stride};
        std::optional<std::vector<std::uint8_t>> file;
        if (copies) {
            file = encodePalettePng(pixels);
        }
        if (!file) {
            file = Screenshot::encodeJpeg(pixels, quality);
        }
        if (!file) {
            throw AppError(kUnableToEncode);
        }
        encoded.files.push_back(std::move(*file));
        if (before != nullptr) {
            for (int y = tile.y; y < tile.y + tile.height; ++y) {
                const std::size_t at = y * now.stride + static_cast<std::size_t>(tile.x) * 4;
                std::memcpy(before->data() + y * before->stride() +
                                static_cast<std::size_t>(tile.x) * 4,
                            now.data + at, static_cast<std::size_t>(tile.width) * 4);
            }
        }
    }
    return encoded;
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

std::optional<Image> ChangeTiles::grabChanges(const std::vector<ChangeRect>& changes,
                                              const CaptureDisplay& display, Image screen) {
    if (screen.width() != display.width || screen.height() != display.height) {
        return std::nullopt;
    }
    const std::lock_guard guard(grabMutex_);
    try {
        if (!grabber_ && !noGrabber_) {
            grabber_ = source_->areaGrabber();
            noGrabber_ = !grabber_;
        }
        if (!grabber_) {
            return std::nullopt;
        }
        for (const TileRect& area :
             changedRegions(changes, display, screen.width(), screen.height())) {
            grabber_->grab(
                {area.x + display.x, area.y + display.y, area.width, area.height},
                {screen.data() + area.y * screen.stride() + static_cast<std::size_t>(area.x) * 4,
                 area.width, area.height, screen.stride()});
        }
    } catch (const std::exception&) {
        grabber_.reset(); // a whole capture says what is wrong, if anything still is
        return std::nullopt;
    }
    return screen;
}

std::vector<std::uint8_t> ChangeTiles::tiles(std::uint64_t since, int width, int quality,
                                             bool copies) {
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
        if (displays.empty()) {
            throw AppError("No display is available.");
        }
        const CaptureDisplay& display = displays.front();
        std::optional<Image> scaled;
        if (copies) {
            width = std::min(width, display.width); // the own pixels, never more
            if (!full && base && base->screen && width == display.width) {
                scaled = grabChanges(changes, display, *base->screen);
            }
        }
        if (!scaled) {
            const Image frame = Screenshot::captureFrame(*capture_, width);
            scaled = Screenshot::resizedImage(frame, width);
            if (!scaled) {
                throw AppError(kUnableToEncode);
            }
        }
        if (base &&
            (base->image.width() != scaled->width() || base->image.height() != scaled->height())) {
            base.reset();
        }
        EncodedTiles encoded = encodeTiles(changes, display, std::as_const(*scaled).view(),
                                           base ? &base->image : nullptr, quality, copies, full);
        full = encoded.whole;
        head += ",\"width\":" + std::to_string(scaled->width()) +
                ",\"height\":" + std::to_string(scaled->height()) +
                ",\"full\":" + (full ? "true" : "false");
        if (!encoded.copies.empty()) {
            head += ",\"copies\":[";
            for (std::size_t i = 0; i < encoded.copies.size(); ++i) {
                const TileCopy& c = encoded.copies[i];
                head += (i ? ",[" : "[") + std::to_string(c.x) + "," + std::to_string(c.y) + "," +
                        std::to_string(c.width) + "," + std::to_string(c.height) + "," +
                        std::to_string(c.toX) + "," + std::to_string(c.toY) + "]";
            }
            head += "]";
        }
        head += ",\"tiles\":[";
        for (std::size_t i = 0; i < encoded.tiles.size(); ++i) {
            const TileRect& tile = encoded.tiles[i];
            head += (i ? ",[" : "[") + std::to_string(tile.x) + "," + std::to_string(tile.y) + "," +
                    std::to_string(tile.width) + "," + std::to_string(tile.height) + "," +
                    std::to_string(encoded.files[i].size()) + "]";
            files.insert(files.end(), encoded.files[i].begin(), encoded.files[i].end());
        }
        head += "]}\n";
        if (full) {
            Image picture(scaled->width(), scaled->height());
            std::memcpy(picture.data(), scaled->data(), scaled->bytes().size());
            base = Shown{sequence, std::move(picture), std::nullopt};
        }
        if (base) {
            const bool own = scaled->width() == display.width && scaled->height() == display.height;
            base->screen = own ? std::optional<Image>(*scaled) : std::nullopt;
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
