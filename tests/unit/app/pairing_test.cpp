// The pairing link's encoding of what the end-to-end test's link lacks; that test reads the QR
// code off the screen.
#include "app/pairing.hpp"

#include <gtest/gtest.h>

namespace {

TEST(PairingLink, PercentEncodesTheTokenAndTooLongALinkHasNoCode) {
    EXPECT_EQ(zel::makePairingLink("https://g.trycloudflare.com", "a+b/c="),
              "zel://mac-control?url=https%3A%2F%2Fg.trycloudflare.com%2F%3Ftoken%3Da%2Bb%2Fc%3D");
    EXPECT_EQ(zel::makeQRCode(std::string(4000, 'a')), std::nullopt); // beyond version 40 at M
}

} // namespace
