// The pairing link's encoding; the end-to-end test reads its QR code off the screen.
#include "app/pairing.hpp"

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
    EXPECT_EQ(zel::makeQRCode(std::string(4000, 'a')), std::nullopt); // beyond version 40 at M
}

} // namespace
