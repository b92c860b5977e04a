#include "capture/scroll_search.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace zel {
namespace {

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

} // namespace zel
