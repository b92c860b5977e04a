// The pairing link's encoding and its QR symbol, read back by a real decoder (zbarimg).
#include "app/pairing.hpp"
#include "tests/support/temp_dir.hpp"

#include <array>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace {

TEST(PairingLink, PercentEncodesEverythingButUnreservedCharacters) {
    const std::pair<std::string, std::string> cases[] = {
        {"AZaz09-_.~", "AZaz09-_.~"},
        {":/?=%+& ", "%3A%2F%3F%3D%25%2B%26%20"},
        {"#[]@!$'()*,;", "%23%5B%5D%40%21%24%27%28%29%2A%2C%3B"},
        {"\n\x7f", "%0A%7F"},
        {"\xe4\xbd\xa0", "%E4%BD%A0"}, // non-ASCII letters are encoded byte by byte
        {"", ""},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(zel::percentEncodeQueryValue(input), expected) << input;
    }
}

TEST(PairingLink, CarriesTheAddressAndTokenInOneEncodedValue) {
    const std::string host = "gentle-river.trycloudflare.com";
    const std::array<std::pair<std::string, std::string>, 3> cases{{
        {"AbC123", "zel://mac-control?url=https%3A%2F%2F" + host + "%2F%3Ftoken%3DAbC123"},
        {"a+b/c=", "zel://mac-control?url=https%3A%2F%2F" + host + "%2F%3Ftoken%3Da%2Bb%2Fc%3D"},
        {"", "zel://mac-control?url=https%3A%2F%2F" + host + "%2F%3Ftoken%3D"},
    }};
    for (const auto& [token, expected] : cases) {
        const auto link = zel::makePairingLink("https://" + host, token);
        EXPECT_EQ(link, expected);
        const auto value = link.substr(zel::kPairingPrefix.size());
        EXPECT_EQ(value.find('/'), std::string::npos) << link;
        EXPECT_EQ(link.find("://", 4), std::string::npos) << link;
    }
}

std::string decodeWithZbar(const std::filesystem::path& image) {
    const std::string command = "zbarimg --quiet --raw '" + image.string() + "' 2>/dev/null";
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::string output;
    std::array<char, 4096> buffer{};
    while (const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) {
        output.append(buffer.data(), n);
    }
    return output;
}

void writePGM(const zel::GrayImage& image, const std::filesystem::path& path) {
    std::ofstream out(path, std::ios::binary);
    out << "P5\n" << image.width << " " << image.height << "\n255\n";
    out.write(reinterpret_cast<const char*>(image.pixels.data()),
              static_cast<std::streamsize>(image.pixels.size()));
}

TEST(PairingQRCode, RendersAScannableSymbolOfTheLinkWithAQuietZone) {
    const zel::test::TempDir dir;
    const std::string links[] = {
        zel::makePairingLink("https://gentle-river-mosaic-lantern.trycloudflare.com",
                             "q3Zp-x_7rT0aB9cD4eF6gH8iJ1kL2mN5oP0sU3vW6yZ"),
        zel::makePairingLink("https://a.trycloudflare.com", ""),
        "zel://mac-control?url=" + std::string(600, 'A'),
    };
    for (const auto& link : links) {
        const auto matrix = zel::makeQRCode(link);
        ASSERT_TRUE(matrix.has_value()) << link;
        // Symbol sides are 17 + 4 × version modules, plus the quiet zone on both sides.
        const int symbol = matrix->size - 2 * zel::kQRQuietZoneModules;
        EXPECT_EQ((symbol - 17) % 4, 0);
        for (int i = 0; i < matrix->size; ++i) {
            for (int border = 0; border < zel::kQRQuietZoneModules; ++border) {
                const auto at = [&](int x, int y) {
                    return matrix->modules[static_cast<std::size_t>(y * matrix->size + x)];
                };
                ASSERT_EQ(at(i, border), 0);
                ASSERT_EQ(at(border, i), 0);
                ASSERT_EQ(at(i, matrix->size - 1 - border), 0);
                ASSERT_EQ(at(matrix->size - 1 - border, i), 0);
            }
        }
        const auto image = zel::renderQRImage(*matrix);
        EXPECT_EQ(image.width, matrix->size * 12);
        EXPECT_EQ(image.height, image.width);
        const auto file = dir.path() / "qr.pgm";
        writePGM(image, file);
        EXPECT_EQ(decodeWithZbar(file), link + "\n");
    }
}

TEST(PairingQRCode, NoSymbolForTextThatCannotBeEncoded) {
    EXPECT_EQ(zel::makeQRCode(""), std::nullopt);
    EXPECT_EQ(zel::makeQRCode("ok\xff"), std::nullopt);
    EXPECT_EQ(zel::makeQRCode(std::string(4000, 'a')), std::nullopt); // beyond version 40 at M
    EXPECT_EQ(zel::makeQRCode("x"), zel::makeQRCode("x"));
}

} // namespace
