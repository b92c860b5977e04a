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

} // namespace
