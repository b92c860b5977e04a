#include "app/uuid.hpp"

#include <gtest/gtest.h>
#include <regex>
#include <set>

namespace {

// The control service's secret: canonical, and never the same twice.
TEST(UUID, CanonicalUpperCaseVersion4AndDistinct) {
    const std::regex canonical(
        "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string uuid = zel::makeUUIDString();
        ASSERT_TRUE(std::regex_match(uuid, canonical)) << uuid;
        ASSERT_TRUE(seen.insert(uuid).second) << "repeated " << uuid;
    }
}

// The pairing code: the form the agent server accepts (32 bytes in canonical base64url, so the
// last character carries 4 bits and 2 zero bits), never the same twice, every character in use.
TEST(PairingCode, CanonicalBase64UrlOf32BytesAndDistinct) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::set<std::string> seen;
    std::set<char> used;
    for (int i = 0; i < 200; ++i) {
        const std::string code = zel::makePairingCode();
        ASSERT_TRUE(std::regex_match(code, std::regex("[A-Za-z0-9_-]{43}"))) << code;
        EXPECT_EQ(alphabet.find(code.back()) % 4, 0U) << code;
        ASSERT_TRUE(seen.insert(code).second) << "repeated " << code;
        used.insert(code.begin(), code.end() - 1);
    }
    EXPECT_EQ(used.size(), 64U);
}

} // namespace
