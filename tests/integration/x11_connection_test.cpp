#include "platform/x11/x11_connection.hpp"
#include "tests/support/xvfb.hpp"

#include <gtest/gtest.h>

namespace {

TEST(X11Monitors, RootScreenOrRandrMonitorsWithPrimaryFirst) {
    const zel::test::Xvfb xvfb(1024, 640);
    auto connection = zel::x11::Connection::open(xvfb.display().c_str());
    const auto list = zel::x11::monitors(*connection);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.front().x, 0);
    EXPECT_EQ(list.front().y, 0);
    EXPECT_EQ(list.front().width, 1024);
    EXPECT_EQ(list.front().height, 640);
}

TEST(X11Connection, UnreachableServerIsAClearErrorAndLostServerIsNoticed) {
    EXPECT_THROW(zel::x11::Connection::open(":4095"), std::runtime_error);
    zel::test::Xvfb xvfb(640, 480);
    auto connection = zel::x11::Connection::open(xvfb.display().c_str());
    xvfb.stop();
    EXPECT_THROW(zel::x11::monitors(*connection), std::runtime_error);
    EXPECT_TRUE(connection->broken());
}

} // namespace
