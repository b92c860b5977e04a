#include "app/app_error.hpp"

#include <gtest/gtest.h>
#include <system_error>

namespace {

TEST(AppError, DisplayTextIsTheMessageExactly) {
    const std::string cases[] = {"", "No display is available.",
                                 "缺少 node，请重新获取完整安装包。", "  spaced \n",
                                 std::string("nul\0inside", 10)};
    for (const auto& message : cases) {
        const zel::AppError error(message);
        EXPECT_EQ(error.message, message);
        // what() is a C string: it carries the message up to an embedded NUL, never more.
        EXPECT_EQ(std::string(error.what()), std::string(message.c_str()));
        try {
            throw error;
        } catch (const std::exception& caught) {
            EXPECT_EQ(zel::displayText(caught), message.c_str());
        }
    }
}

TEST(AppError, PlatformErrorsKeepTheirOwnText) {
    const std::system_error error(ENOENT, std::generic_category(), "open");
    EXPECT_EQ(zel::displayText(error), error.what());
}

} // namespace
