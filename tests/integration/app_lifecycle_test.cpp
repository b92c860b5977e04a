// The real app under a private X server: it stays up until told to quit and quits cleanly.
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace {

using namespace std::chrono_literals;

TEST(AppLifecycle, RunsUntilSignalledThenExitsWithStatusZero) {
    const zel::test::Xvfb xvfb;
    const zel::test::TempDir state;
    for (const int quitSignal : {SIGTERM, SIGINT}) {
        zel::test::Child app({ZEL_APP_BINARY},
                             {"DISPLAY=" + xvfb.display(),
                              "XDG_STATE_HOME=" + state.path().string(), "QT_QPA_PLATFORM=xcb"});
        // Still running after a while: it does not quit on its own.
        EXPECT_FALSE(app.waitFor(1500ms).has_value());
        app.signal(quitSignal);
        const auto status = app.waitFor(20s);
        ASSERT_TRUE(status.has_value()) << "app did not quit on signal " << quitSignal;
        ASSERT_TRUE(WIFEXITED(*status)) << "raw status " << *status;
        EXPECT_EQ(WEXITSTATUS(*status), 0);
    }
}

} // namespace
