// The pairing link's encoding and its QR symbol, read back by a real decoder (zbarimg).
#include "app/pairing.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"

#include <fstream>
#include <gtest/gtest.h>

namespace {

TEST(PairingLink, PercentEncodesEverythingButUnreservedCharacters) {
    const std::pair<std::string, std::string> cases[] = {
        {"AZaz09-_.~", "AZaz09-_.~"},
        {":/?=%+& #[]@!$'()*,;", "%3A%2F%3F%3D%25%2B%26%20%23%5B%5D%40%21%24%27%28%29%2A%2C%3B"},
        {"\n\x7f\xe4\xbd\xa0", "%0A%7F%E4%BD%A0"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(zel::percentEncodeQueryValue(input), expected) << input;
    }
    EXPECT_EQ(zel::makePairingLink("https://g.trycloudflare.com", "a+b/c="),
              "zel://mac-control?url=https%3A%2F%2Fg.trycloudflare.com%2F%3Ftoken%3Da%2Bb%2Fc%3D");
}

TEST(PairingQRCode, RendersAScannableSymbolOfTheLink) {
    const zel::test::TempDir dir;
    for (const auto& link : {zel::makePairingLink("https://a.trycloudflare.com", "q3Zp-x_7rT0"),
                             "zel://mac-control?url=" + std::string(600, 'A')}) {
        const auto matrix = zel::makeQRCode(link);
        ASSERT_TRUE(matrix.has_value()) << link;
        const auto image = zel::renderQRImage(*matrix);
        const auto file = dir.path() / "qr.pgm";
        std::ofstream(file, std::ios::binary)
            << "P5\n"
            << image.width << " " << image.height << "\n255\n"
            << std::string(image.pixels.begin(), image.pixels.end());
        const auto read = zel::test::runCommand({"zbarimg", "--quiet", "--raw", file.string()});
        EXPECT_EQ(read.exitStatus, 0);
        EXPECT_EQ(read.output, link + "\n");
    }
    EXPECT_EQ(zel::makeQRCode(std::string(4000, 'a')), std::nullopt); // beyond version 40 at M
}

} // namespace
