// Pairing link encoding and the QR symbol through libqrencode.
#include "app/pairing.hpp"

#include "base/c_handle.hpp"
#include "base/unicode_text.hpp"

#include <memory>
#include <qrencode.h>

namespace zel {
namespace {

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == '~';
}

} // namespace

std::string percentEncodeQueryValue(std::string_view text) {
    constexpr std::string_view kHex = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size() * 3);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (isUnreserved(byte)) {
            encoded.push_back(c);
        } else {
            encoded.push_back('%');
            encoded.push_back(kHex[byte >> 4U]);
            encoded.push_back(kHex[byte & 0x0FU]);
        }
    }
    return encoded;
}

std::string makePairingLink(std::string_view tunnelURL, std::string_view token) {
    std::string inner(tunnelURL);
    inner += "/?token=";
    inner += token;
    // The encoder never yields nothing for a non-empty text, and the inner text never is empty.
    return std::string(kPairingPrefix) + percentEncodeQueryValue(inner);
}

std::optional<QRMatrix> makeQRCode(std::string_view text) {
    if (text.empty() || !isValidUTF8(text)) {
        return std::nullopt;
    }
    // Byte mode over the whole text: the symbol holds the UTF-8 bytes as they are.
    const CHandle<QRcode, QRcode_free> code(
        QRcode_encodeData(static_cast<int>(text.size()),
                          reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M));
    if (!code) {
        return std::nullopt;
    }
    const int width = code->width;
    QRMatrix matrix;
    matrix.size = width + 2 * kQRQuietZoneModules;
    const auto side = static_cast<std::size_t>(matrix.size);
    const auto symbol = static_cast<std::size_t>(width);
    const auto zone = static_cast<std::size_t>(kQRQuietZoneModules);
    matrix.modules.assign(side * side, 0);
    for (std::size_t y = 0; y < symbol; ++y) {
        for (std::size_t x = 0; x < symbol; ++x) {
            // Bit 0 of each libqrencode byte is the module's colour, 1 = dark.
            matrix.modules[(y + zone) * side + x + zone] = code->data[y * symbol + x] & 1U;
        }
    }
    return matrix;
}

GrayImage renderQRImage(const QRMatrix& matrix) {
    if (matrix.size <= 0 ||
        matrix.modules.size() != static_cast<std::size_t>(matrix.size) * matrix.size) {
        return {};
    }
    GrayImage image;
    image.width = matrix.size * kQRPixelsPerModule;
    image.height = image.width;
    const auto width = static_cast<std::size_t>(image.width);
    const auto side = static_cast<std::size_t>(matrix.size);
    const auto scale = static_cast<std::size_t>(kQRPixelsPerModule);
    image.pixels.resize(width * width);
    for (std::size_t y = 0; y < width; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            const auto module = matrix.modules[(y / scale) * side + x / scale];
            image.pixels[y * width + x] = module != 0 ? 0 : 255;
        }
    }
    return image;
}

} // namespace zel
