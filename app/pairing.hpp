// The pairing link that the phone scans, and its QR symbol.
#pragma once

#include "app/display_model.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel {

inline constexpr std::string_view kPairingPrefix = "zel://mac-control?url=";
inline constexpr int kQRPixelsPerModule = 12;
inline constexpr int kQRQuietZoneModules = 4;

// RFC 3986 percent-encoding that leaves only ASCII letters, digits and "-_.~"; every other byte
// of the UTF-8 text becomes "%XX" with upper-case hex digits (non-ASCII letters included).
std::string percentEncodeQueryValue(std::string_view text);

// "zel://mac-control?url=" + the encoding of tunnelURL + "/?token=" + token.
std::string makePairingLink(std::string_view tunnelURL, std::string_view token);

// The QR symbol of the text's UTF-8 bytes at level M inside a white quiet zone of 4 modules, so
// that it scans on any window background; nothing when the text is not valid UTF-8, is empty or
// is too long for a symbol.
std::optional<QRMatrix> makeQRCode(std::string_view text);

// An 8-bit grey image, row-major, 0 black and 255 white.
struct GrayImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
};

// The matrix drawn with 12 × 12 pixels per module, as the window shows it before scaling; an
// empty image for a matrix whose module count does not match its size.
GrayImage renderQRImage(const QRMatrix& matrix);

} // namespace zel
