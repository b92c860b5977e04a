// The autostart entry: where the XDG rules look for it, what it starts, and gone when switched off.
#include "app/autostart.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace {

TEST(Autostart, EntryStartsTheConnectionHiddenAndGoesWhenSwitchedOff) {
    const zel::test::TempDir dir;
    const zel::test::ScopedEnv config("XDG_CONFIG_HOME", dir.path().c_str());
    EXPECT_EQ(zel::autostartEntry(), dir.path() / "autostart/zel-desktop-agent.desktop");
    EXPECT_FALSE(zel::startsAtLogin());
    zel::setStartAtLogin(true, "/opt/my apps/zel-desktop-agent");
    ASSERT_TRUE(zel::startsAtLogin());
    const std::string entry = zel::test::readFile(zel::autostartEntry());
    EXPECT_NE(entry.find("\nExec=\"/opt/my apps/zel-desktop-agent\" --start --hidden\n"),
              std::string::npos)
        << entry;
    EXPECT_TRUE(entry.starts_with("[Desktop Entry]\nType=Application\n"));
    zel::setStartAtLogin(false, {});
    EXPECT_FALSE(zel::startsAtLogin());
    zel::setStartAtLogin(false, {}); // already gone: nothing to do
}

} // namespace
