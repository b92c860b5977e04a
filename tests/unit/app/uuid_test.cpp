#include "app/uuid.hpp"

#include <gtest/gtest.h>
#include <regex>
#include <set>

namespace {

TEST(UUID, CanonicalUpperCaseVersion4DistinctAndRandomInEveryDigit) {
    const std::regex canonical(
        "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    // A generator stuck on some bits would still pass the format: every variant digit and every
    // hex digit in a random position must show up.
    std::set<char> variants;
    std::set<char> digits;
    for (int i = 0; i < 3000; ++i) {
        const std::string uuid = zel::makeUUIDString();
        ASSERT_TRUE(std::regex_match(uuid, canonical)) << uuid;
        ASSERT_TRUE(seen.insert(uuid).second) << "repeated " << uuid;
        variants.insert(uuid[19]);
        digits.insert(uuid[35]);
    }
    EXPECT_EQ(variants.size(), 4U);
    EXPECT_EQ(digits.size(), 16U);
}

} // namespace
