#include "base/agent_log.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using zel::test::readFile;

class AgentLog : public ::testing::Test {
protected:
    zel::test::TempDir dir;
    zel::test::ScopedEnv state{"XDG_STATE_HOME", (dir.path() / "state").c_str()};
    std::filesystem::path log = dir.path() / "state" / "zel-desktop-agent" / "agent.log";
};

TEST_F(AgentLog, PathIsUnderStateHomeElseHomeAndItsDirectoryIsMadeOnEveryRead) {
    EXPECT_EQ(zel::logURL(), log);
    std::filesystem::remove_all(dir.path() / "state");
    EXPECT_EQ(zel::logURL(), log);
    EXPECT_TRUE(std::filesystem::is_directory(log.parent_path()));
    const zel::test::ScopedEnv home("HOME", dir.path().c_str());
    for (const char* value : {static_cast<const char*>(nullptr), "", "relative/dir"}) {
        const zel::test::ScopedEnv state("XDG_STATE_HOME", value);
        EXPECT_EQ(zel::logURL(), dir.path() / ".local/state/zel-desktop-agent/agent.log");
    }
}

TEST_F(AgentLog, ConcurrentAppendsLoseAndSplitNothing) {
    const auto line = [](int thread, int i) {
        return "thread " + std::to_string(thread) + " line " + std::to_string(i) + " " +
               std::string(static_cast<std::size_t>(i % 50), 'x') + "\n";
    };
    std::multiset<std::string> expected;
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 8; ++t) {
            for (int i = 0; i < 2000; ++i) {
                expected.insert(line(t, i));
            }
            threads.emplace_back([t, &line] {
                for (int i = 0; i < 2000; ++i) {
                    zel::appendLog(line(t, i));
                }
            });
        }
    }
    std::istringstream in(readFile(log));
    std::multiset<std::string> lines;
    for (std::string text; std::getline(in, text);) {
        lines.insert(text + "\n");
    }
    EXPECT_TRUE(lines == expected);
}

// Permission bits would not stop root: a directory where the log should be stops everyone.
TEST_F(AgentLog, UnwritableLogChangesNothingAndThrowsNothing) {
    std::filesystem::create_directories(log);
    EXPECT_NO_THROW(zel::appendLog("lost\n"));
    EXPECT_TRUE(std::filesystem::is_empty(log));
}

} // namespace
