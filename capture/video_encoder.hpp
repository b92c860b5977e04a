// A moving area of the screen as a video stream: H.264 constrained baseline (what phones decode in
// hardware and browsers through WebCodecs), Annex B, one frame in, one access unit out.
#pragma once

#include "capture/image.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace zel {

struct VideoChunk {
    std::vector<std::uint8_t> bytes; // empty: the encoder skipped the frame
    bool key = false;                // an IDR with its parameter sets: decodable on its own
};

class VideoEncoder {
public:
    virtual ~VideoEncoder() = default;
    [[nodiscard]] virtual int width() const = 0;
    [[nodiscard]] virtual int height() const = 0;
    // One frame of BGRA pixels of the encoder's size; `key` asks for an IDR, `bitrate` (bits/s) is
    // the rate the stream should hold from now on, `millis` the frame's time (for the rate
    // control). Throws AppError when the library fails.
    virtual VideoChunk encode(ConstPixelView pixels, bool key, int bitrate,
                              std::int64_t millis) = 0;
};

// Throws AppError for a size that is not even or beyond 4096 × 2304, or when the library refuses.
std::unique_ptr<VideoEncoder> makeH264Encoder(int width, int height, int bitrate);

} // namespace zel
