#include "app/uuid.hpp"

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <sys/random.h>
#include <system_error>

namespace zel {

namespace {

template <std::size_t kSize>
std::array<std::uint8_t, kSize> randomBytes() {
    std::array<std::uint8_t, kSize> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        filled += static_cast<std::size_t>(got);
    }
    return bytes;
}

} // namespace

std::string makePairingCode() {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    const auto bytes = randomBytes<32>();
    std::string text;
    std::uint32_t bits = 0;
    int count = 0;
    for (const std::uint8_t byte : bytes) {
        bits = (bits << 8U) | byte;
        count += 8;
        while (count >= 6) {
            count -= 6;
            text += kAlphabet[(bits >> static_cast<unsigned>(count)) & 0x3FU];
        }
    }
    text += kAlphabet[(bits << static_cast<unsigned>(6 - count)) & 0x3FU]; // 256 = 42×6 + 4
    return text;
}

std::string makeUUIDString() {
    auto bytes = randomBytes<16>();
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0FU) | 0x40U); // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3FU) | 0x80U); // RFC 4122 variant

    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(kHex[bytes[i] >> 4U]);
        text.push_back(kHex[bytes[i] & 0x0FU]);
    }
    return text;
}

} // namespace zel
