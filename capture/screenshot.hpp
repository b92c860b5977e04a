// One screenshot of the first display: a short-lived frame stream raced against a time-out, then
// a downscale and a PNG or JPEG encoding. Stateless; safe to call from many threads at once.
#pragma once

#include "capture/capture_backend.hpp"
#include "capture/change_source.hpp"
#include "capture/image.hpp"
#include "capture/screenshot_encoding.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace zel::Screenshot {

inline constexpr std::chrono::nanoseconds kFrameTimeout{8'000'000'000};
inline constexpr int kMinimumStreamWidth = 320;
inline constexpr int kMinimumStreamHeight = 180;

// The stream of a capture at the wanted width: the width raised to 320, the height the display's
// height times (width ÷ display width), truncated and raised to 180. The scale uses the unraised
// width, so a width below 320 still shapes the height.
StreamConfiguration streamConfiguration(int width, const CaptureDisplay& display);

// The height of a downscale to targetWidth: (targetWidth × height) ÷ width, truncated, at least 1.
int resizedHeight(int width, int height, int targetWidth);

// One frame of the first display at the configured size. Throws AppError "No display is
// available.", "Timed out waiting for screen frame." (after timeout), "No screen frame
// returned.", or the platform's error unchanged. The stream is stopped and released before the
// call returns, whichever way it ends, once it has started. `cursor`: the pointer drawn in, where
// the platform can leave it out.
Image captureFrame(CaptureBackend& backend, int width,
                   std::chrono::nanoseconds timeout = kFrameTimeout, bool cursor = true);

// captureFrame, resizedImage and encode in a row; throws what captureFrame throws, or AppError
// "Unable to encode screenshot." when scaling or encoding yields nothing. Never partial data.
std::vector<std::uint8_t> capture(CaptureBackend& backend, std::string_view format, int width,
                                  int quality);

// An area of the first display at the display's own pixels: `region` in desktop coordinates,
// clipped to the display, cropped before any scaling, then scaled down to `width` when that is
// narrower (below 1: its own width) and encoded. Throws what capture throws, or AppError "The
// region lies outside the screen." when none of it is on the display.
std::vector<std::uint8_t> captureRegion(CaptureBackend& backend, std::string_view format, int width,
                                        int quality, const ChangeRect& region);

} // namespace zel::Screenshot
