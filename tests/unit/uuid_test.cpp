#include "app/main_queue.hpp"
#include "app/uuid.hpp"
#include "app/zel_desktop_agent_app.hpp"

#include <gtest/gtest.h>
#include <set>

namespace {

bool isUpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

TEST(UUID, CanonicalUpperCaseVersion4AndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 5000; ++i) {
        const std::string uuid = zel::makeUUIDString();
        ASSERT_EQ(uuid.size(), 36U) << uuid;
        for (std::size_t pos = 0; pos < uuid.size(); ++pos) {
            // Positions counted from 1: dashes at 9, 14, 19 and 24.
            if (pos == 8 || pos == 13 || pos == 18 || pos == 23) {
                ASSERT_EQ(uuid[pos], '-') << uuid;
            } else {
                ASSERT_TRUE(isUpperHex(uuid[pos])) << uuid;
            }
        }
        ASSERT_EQ(uuid[14], '4') << uuid;
        ASSERT_NE(std::string("89AB").find(uuid[19]), std::string::npos) << uuid;
        ASSERT_TRUE(seen.insert(uuid).second) << "repeated " << uuid;
    }
}

TEST(UUID, VariantAndHexDigitsAllOccur) {
    // A generator stuck on some bits would pass the format test; every variant digit and every
    // hex digit in the random positions must show up over many draws.
    std::set<char> variants;
    std::set<char> digits;
    for (int i = 0; i < 2000; ++i) {
        const std::string uuid = zel::makeUUIDString();
        variants.insert(uuid[19]);
        digits.insert(uuid[0]);
        digits.insert(uuid[35]);
    }
    EXPECT_EQ(variants.size(), 4U);
    EXPECT_EQ(digits.size(), 16U);
}

TEST(Controller, FreshFieldsAndPerLaunchSecret) {
    zel::ManualMainQueue queue;
    const zel::ZelDesktopAgentApp first(queue);
    const zel::ZelDesktopAgentApp second(queue);
    EXPECT_EQ(first.port, "8787");
    EXPECT_EQ(first.screenshotPort, 8788);
    EXPECT_EQ(first.screenshotSecret.size(), 36U);
    EXPECT_NE(first.screenshotSecret, second.screenshotSecret);
    EXPECT_TRUE(first.token.empty());
    EXPECT_TRUE(first.zelURL.empty());
    EXPECT_EQ(first.window, nullptr);
    EXPECT_EQ(first.serverProcess, nullptr);
    EXPECT_EQ(first.tunnelProcess, nullptr);
    EXPECT_EQ(first.screenshotListener, nullptr);
    EXPECT_EQ(first.display, zel::DisplayModel{});
    EXPECT_EQ(first.display.statusText, "未开启");
    EXPECT_EQ(first.display.buttonTitle, "开启");
    EXPECT_TRUE(first.display.buttonEnabled);
    EXPECT_TRUE(first.display.qrHidden);
}

} // namespace
