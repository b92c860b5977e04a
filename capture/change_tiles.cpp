#include "capture/change_tiles.hpp"

#include "base/app_error.hpp"
#include "base/c_handle.hpp"
#include "capture/image_scaling.hpp"
#include "capture/screenshot.hpp"
#include "capture/screenshot_encoding.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <spng.h>
#include <string>
#include <utility>
#include <zlib.h>

namespace zel {
namespace {

const char* const kUnableToEncode = "Unable to encode screenshot.";
const char* const kNoShape = "The pointer's shape is not available.";
const char* const kNoPointer = "This desktop does not tell where the pointer is.";

// The cursor as an RGBA PNG: its words are premultiplied, PNG's are not.
std::optional<std::vector<std::uint8_t>> cursorPng(const CursorImage& cursor) {
    std::vector<std::uint8_t> rgba(cursor.argb.size() * 4);
    for (std::size_t i = 0; i < cursor.argb.size(); ++i) {
        const std::uint32_t word = cursor.argb[i];
        const std::uint32_t alpha = word >> 24;
        const auto channel = [&](int shift) {
            const std::uint32_t value = (word >> shift) & 0xff;
            return static_cast<std::uint8_t>(alpha == 0 ? 0 : std::min(255U, value * 255 / alpha));
        };
        rgba[i * 4] = channel(16);
        rgba[i * 4 + 1] = channel(8);
        rgba[i * 4 + 2] = channel(0);
        rgba[i * 4 + 3] = static_cast<std::uint8_t>(alpha);
    }
    const CHandle<spng_ctx, spng_ctx_free> context(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!context) {
        return std::nullopt;
    }
    spng_ihdr header{};
    header.width = static_cast<std::uint32_t>(cursor.width);
    header.height = static_cast<std::uint32_t>(cursor.height);
    header.bit_depth = 8;
    header.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    if (spng_set_option(context.get(), SPNG_ENCODE_TO_BUFFER, 1) != 0 ||
        spng_set_ihdr(context.get(), &header) != 0 ||
        spng_encode_image(context.get(), rgba.data(), rgba.size(), SPNG_FMT_PNG,
                          SPNG_ENCODE_FINALIZE) != 0) {
        return std::nullopt;
    }
    return Screenshot::encodedPng(context.get());
}

// No JPEG is smaller than one flat block at the lowest quality: its markers and tables alone. A PNG
// that small (a terminal's new line) needs no JPEG to be weighed against.
std::size_t smallestJpeg() {
    static const std::size_t bytes = [] {
        const std::vector<std::uint8_t> block(static_cast<std::size_t>(kTileCell) * kTileCell * 4);
        const auto jpeg = Screenshot::encodeJpeg(
            {block.data(), kTileCell, kTileCell, static_cast<std::size_t>(kTileCell) * 4}, 1);
        return jpeg ? jpeg->size() : 0;
    }();
    return bytes;
}

// The stream's rate: what the viewer's link allows, but no more than a moving picture of that size
// needs (about 0.017 bits a pixel at 30 frames a second: a phone shows it scaled down), nor less
// than keeps it recognisable.
constexpr double kVideoBitsPerPixelSecond = 0.5;
constexpr int kMinVideoBitrate = 150'000;
int videoRate(int asked, const TileRect& region) {
    const double needed = kVideoBitsPerPixelSecond * region.width * region.height;
    return std::max(kMinVideoBitrate, static_cast<int>(std::min<double>(asked, needed)));
}

// A moving region is tried as video for this many frames, then as tiles for as many updates
// after the few that restore it: long enough for the encoder's rate control to settle.
constexpr int kTrialUpdates = 15;
constexpr int kRestoreUpdates = 2;

// What the tiles of `encoded` over `area` cost on the wire: a viewer of palette PNGs and copies
// gets updates made of PNGs deflated by its socket (at zlib's default level), which takes a good
// part off them.
std::size_t wireBytes(const EncodedTiles& encoded, const TileRect& area, bool copies) {
    std::vector<std::uint8_t> all;
    bool png = true;
    for (std::size_t i = 0; i < encoded.tiles.size(); ++i) {
        if (!overlaps(encoded.tiles[i], area)) {
            continue;
        }
        const std::vector<std::uint8_t>& file = encoded.files[i];
        png = png && file.size() > 1 && file[0] == 0x89 && file[1] == 'P';
        all.insert(all.end(), file.begin(), file.end());
    }
    if (!copies || !png || all.empty()) {
        return all.size();
    }
    uLongf size = compressBound(all.size());
    std::vector<Bytef> deflated(size);
    return compress2(deflated.data(), &size, all.data(), all.size(), Z_DEFAULT_COMPRESSION) == Z_OK
               ? std::min<std::size_t>(size, all.size())
               : all.size();
}

std::int64_t steadyMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

std::optional<std::vector<std::uint8_t>> encodeTile(ConstPixelView pixels, int quality,
                                                    bool palette) {
    std::optional<std::vector<std::uint8_t>> png;
    if (palette) {
        png = encodePalettePng(pixels);
        if (png && png->size() <= smallestJpeg()) {
            return png;
        }
    }
    std::optional<std::vector<std::uint8_t>> jpeg = Screenshot::encodeJpeg(pixels, quality);
    if (png && (!jpeg || png->size() <= jpeg->size())) {
        return png;
    }
    return jpeg;
}

EncodedTiles encodeTiles(const std::vector<ChangeRect>& changes, const CaptureDisplay& display,
                         ConstPixelView now, Image* before, int quality, bool copies, bool whole,
                         const std::optional<TileRect>& video) {
    EncodedTiles encoded;
    if (before != nullptr && (before->width() != now.width || before->height() != now.height)) {
        before = nullptr;
    }
    // A scroll is a whole-pixel shift only in a frame at the desktop's own resolution.
    if (!whole && before != nullptr && copies && now.width == display.width &&
        now.height == display.height) {
        encoded.copies = findScrolls(std::as_const(*before).view(), now,
                                     changedRegions(changes, display, now.width, now.height));
        if (video) {
            encoded.videoScrolled = std::erase_if(encoded.copies, [&](const TileCopy& c) {
                                        return overlaps({c.x, c.y, c.width, c.height}, *video) ||
                                               overlaps({c.toX, c.toY, c.width, c.height}, *video);
                                    }) > 0;
        }
        applyCopies(before->view(), encoded.copies);
    }
    const auto unchanged = [&](int column, int row) {
        const TileRect cell{column * kTileCell, row * kTileCell, kTileCell, kTileCell};
        return (video && contains(*video, cell)) ||
               cellUnchanged(now, std::as_const(*before).view(), column, row);
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
        std::optional<std::vector<std::uint8_t>> file = encodeTile(pixels, quality, copies);
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
    : capture_(std::move(capture)), source_(changes), log_(std::move(changes)) {}

void ChangeTiles::awaitChange(std::uint64_t since, std::function<void()> changed, bool pointer) {
    log_.awaitChange(since, std::move(changed), pointer && source_->tellsPointer());
}

std::optional<Image> ChangeTiles::grabChanges(const std::vector<ChangeRect>& changes,
                                              const CaptureDisplay& display, Image screen,
                                              bool cursor) {
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
                 area.width, area.height, screen.stride()},
                cursor);
        }
    } catch (const std::exception&) {
        grabber_.reset(); // a whole capture says what is wrong, if anything still is
        return std::nullopt;
    }
    return screen;
}

void ChangeTiles::awaitPointer(std::uint64_t since, std::function<void()> changed) {
    if (!source_->tellsPointer()) {
        throw AppError(kNoPointer);
    }
    log_.awaitPointer(since, std::move(changed));
}

std::string ChangeTiles::pointer() {
    const ChangeLog::Pointer pointer = log_.pointer();
    const std::vector<CaptureDisplay> displays = capture_->displays();
    if (displays.empty()) {
        throw AppError("No display is available.");
    }
    const CaptureDisplay& display = displays.front();
    const int x = pointer.state.x - display.x;
    const int y = pointer.state.y - display.y;
    const bool visible = pointer.sequence != 0 && pointer.state.onScreen && x >= 0 && y >= 0 &&
                         x < display.width && y < display.height;
    return "{\"sequence\":" + std::to_string(pointer.sequence) + ",\"x\":" + std::to_string(x) +
           ",\"y\":" + std::to_string(y) + ",\"visible\":" + (visible ? "true" : "false") +
           ",\"serial\":" + std::to_string(pointer.state.serial) +
           ",\"width\":" + std::to_string(display.width) +
           ",\"height\":" + std::to_string(display.height) + "}";
}

std::string ChangeTiles::pointerShape() {
    const std::optional<CursorImage> cursor = source_->cursorImage();
    if (!cursor || cursor->width < 1 || cursor->height < 1 ||
        cursor->argb.size() != static_cast<std::size_t>(cursor->width) * cursor->height) {
        throw AppError(kNoShape);
    }
    const std::optional<std::vector<std::uint8_t>> png = cursorPng(*cursor);
    if (!png) {
        throw AppError(kNoShape);
    }
    std::string body = "{\"serial\":" + std::to_string(cursor->serial) +
                       ",\"width\":" + std::to_string(cursor->width) +
                       ",\"height\":" + std::to_string(cursor->height) +
                       ",\"hotX\":" + std::to_string(cursor->hotX) +
                       ",\"hotY\":" + std::to_string(cursor->hotY) + "}\n";
    body.append(png->begin(), png->end());
    return body;
}

std::optional<TileRect> ChangeTiles::streamVideo(std::uint64_t since, bool stop, const Image& frame,
                                                 Image* before, const CaptureDisplay& display,
                                                 std::vector<ChangeRect>& changes, int bitrate,
                                                 int viewWidth, std::int64_t millis,
                                                 VideoChunk& chunk) {
    std::optional<TileRect> region = video_.moving.region();
    if (region && (region->x + region->width > frame.width() ||
                   region->y + region->height > frame.height())) {
        region.reset(); // planned for another size: the next update finds it again
    }
    // Video only builds on a picture the viewer has: no whole frame (nor a still screen), the same
    // viewer as before.
    if (stop || before == nullptr || before->width() != frame.width() ||
        before->height() != frame.height()) {
        region.reset();
    }
    auto& trial = video_.trial;
    if (!region) {
        trial.reset();
    } else if (!trial || trial->region != *region) {
        trial = VideoStream::Trial{*region};
    } else if (!trial->decided && trial->videoFrames >= kTrialUpdates) {
        // Its tiles' turn; once they have had as many updates, the cheaper way stays.
        if (trial->tileUpdates >= kRestoreUpdates + kTrialUpdates) {
            if (trial->tileBytes * trial->videoFrames <
                trial->videoBytes * (trial->tileUpdates - kRestoreUpdates)) {
                video_.moving.decline(millis);
                trial.reset();
            } else {
                trial->decided = true;
            }
        }
        if (!trial || !trial->decided) {
            region.reset();
        }
    }
    if (region) {
        try {
            // At the scale the viewer shows it, in even sizes.
            const double scale = viewWidth > 0 && viewWidth < frame.width()
                                     ? static_cast<double>(viewWidth) / frame.width()
                                     : 1.0;
            const auto even = [&](int size) {
                return std::max(16, static_cast<int>(size * scale) / 2 * 2);
            };
            const TileRect encoded{0, 0, std::min(region->width, even(region->width)),
                                   std::min(region->height, even(region->height))};
            if (!video_.encoder || video_.encoder->width() != encoded.width ||
                video_.encoder->height() != encoded.height) {
                video_.encoder.reset();
                video_.encoder =
                    makeH264Encoder(encoded.width, encoded.height, videoRate(bitrate, encoded));
                video_.sequence = 0;
            }
            const ConstPixelView area{frame.data() + region->y * frame.stride() +
                                          static_cast<std::size_t>(region->x) * 4,
                                      region->width, region->height, frame.stride()};
            std::optional<Image> smaller;
            if (encoded.width != region->width || encoded.height != region->height) {
                smaller.emplace(encoded.width, encoded.height);
                if (!scaleInto(area, smaller->view())) {
                    throw AppError(kUnableToEncode);
                }
            }
            chunk = video_.encoder->encode(smaller ? std::as_const(*smaller).view() : area,
                                           video_.sequence != since, videoRate(bitrate, encoded),
                                           millis);
            if (!trial->decided && !chunk.key && !chunk.bytes.empty()) {
                trial->videoBytes += chunk.bytes.size();
                ++trial->videoFrames;
            }
        } catch (const std::exception&) {
            region.reset(); // tiles after all; the next region starts a new stream
        }
    }
    if (!region) {
        video_.encoder.reset();
    }
    // Where the video was and no longer is, the viewer has the video's approximation: the tiles
    // there are sent again whatever the picture we keep says.
    if (video_.region && video_.region != region) {
        const TileRect& old = *video_.region;
        if (before != nullptr && old.x + old.width <= before->width() &&
            old.y + old.height <= before->height()) {
            for (int y = old.y; y < old.y + old.height; ++y) {
                std::uint8_t* row =
                    before->data() + y * before->stride() + static_cast<std::size_t>(old.x) * 4;
                for (int i = 0; i < old.width * 4; ++i) {
                    row[i] = static_cast<std::uint8_t>(~row[i]);
                }
            }
        }
        const double sx = static_cast<double>(display.width) / frame.width();
        const double sy = static_cast<double>(display.height) / frame.height();
        const int x0 = display.x + static_cast<int>(old.x * sx);
        const int y0 = display.y + static_cast<int>(old.y * sy);
        changes.push_back(
            {x0, y0, display.x + static_cast<int>(std::ceil((old.x + old.width) * sx)) - x0,
             display.y + static_cast<int>(std::ceil((old.y + old.height) * sy)) - y0});
    }
    video_.region = region;
    return region;
}

std::vector<std::uint8_t> ChangeTiles::tiles(std::uint64_t since, int width, int quality,
                                             bool copies, bool pointer, int videoBitrate,
                                             int videoWidth) {
    // Where the source cannot tell the pointer, the viewer gets it in the frames after all.
    pointer = pointer && source_->tellsPointer();
    const bool cursor = !pointer;
    ChangeLog::Changes logged = log_.changesSince(since, pointer);
    const std::uint64_t sequence = logged.sequence;
    bool full = logged.full;
    std::vector<ChangeRect>& changes = logged.rects;
    // One video stream at a time: its encoder's state is what its viewer's decoder has.
    std::unique_lock videoLock(videoMutex_, std::defer_lock);
    if (videoBitrate > 0) {
        videoLock.lock();
    }
    std::optional<Shown> base;
    std::uint64_t answer = 0;
    {
        const std::lock_guard guard(shownMutex_);
        answer = ++answers_;
        if (!full && shown_ && shown_->sequence == since && shown_->cursor == cursor) {
            base = std::move(shown_);
        }
        shown_.reset();
    }
    std::string head = "{\"sequence\":" + std::to_string(sequence);
    if (source_->reportsFrames()) {
        head += ",\"frames\":true";
    }
    std::vector<std::uint8_t> files;
    // Nothing, or only the cursor for a viewer that draws it itself: no capture. A video that
    // stopped is the exception: its area goes back to exact tiles now.
    const bool videoStopped = videoBitrate > 0 && video_.region && changes.empty();
    if (!full && changes.empty() && !videoStopped) {
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
                scaled = grabChanges(changes, display, *base->screen, cursor);
            }
        }
        if (!scaled) {
            const Image frame =
                Screenshot::captureFrame(*capture_, width, Screenshot::kFrameTimeout, cursor);
            scaled = Screenshot::resizedImage(frame, width);
            if (!scaled) {
                throw AppError(kUnableToEncode);
            }
        }
        if (base &&
            (base->image.width() != scaled->width() || base->image.height() != scaled->height())) {
            base.reset();
        }
        const std::int64_t millis = steadyMillis();
        VideoChunk chunk;
        std::optional<TileRect> video;
        if (videoBitrate > 0) {
            video = streamVideo(since, full || videoStopped, *scaled, base ? &base->image : nullptr,
                                display, changes, videoBitrate, videoWidth, millis, chunk);
        }
        EncodedTiles encoded =
            encodeTiles(changes, display, std::as_const(*scaled).view(),
                        base ? &base->image : nullptr, quality, copies, full, video);
        full = encoded.whole;
        auto& trial = video_.trial;
        if (videoBitrate > 0 && trial && !trial->decided && trial->videoFrames >= kTrialUpdates &&
            !video && ++trial->tileUpdates > kRestoreUpdates) {
            trial->tileBytes += wireBytes(encoded, trial->region, copies);
        }
        if (videoBitrate > 0 && encoded.videoScrolled) {
            video_.moving = MovingRegion(); // what scrolls is text, not video: tiles and copies
        } else if (videoBitrate > 0 && !logged.full && !videoStopped) {
            // What moved in this update: its tiles, and within the video what the log says changed.
            std::vector<TileRect> moved = encoded.tiles;
            if (video) {
                for (const TileRect& area :
                     changedRegions(changes, display, scaled->width(), scaled->height())) {
                    // Only its part within: a platform may report a whole screen's damage.
                    if (overlaps(area, *video)) {
                        moved.push_back(intersection(area, *video));
                    }
                }
                video_.sequence = sequence;
            }
            video_.moving.update(moved, scaled->width(), scaled->height(), millis);
        }
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
        head += "]";
        if (video && !chunk.bytes.empty()) {
            head += ",\"video\":[" + std::to_string(video->x) + "," + std::to_string(video->y) +
                    "," + std::to_string(video->width) + "," + std::to_string(video->height) + "," +
                    (chunk.key ? "1" : "0") + "," + std::to_string(chunk.bytes.size()) + "]";
            files.insert(files.end(), chunk.bytes.begin(), chunk.bytes.end());
        }
        head += "}\n";
        if (full) {
            Image picture(scaled->width(), scaled->height());
            std::memcpy(picture.data(), scaled->data(), scaled->bytes().size());
            base = Shown{sequence, std::move(picture), std::nullopt, cursor};
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
