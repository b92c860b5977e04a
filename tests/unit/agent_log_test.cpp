#include "supervisor/agent_log.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using zel::test::readFile;

class AgentLog : public ::testing::Test {
protected:
    zel::test::TempDir dir;
    zel::test::ScopedEnv state{"XDG_STATE_HOME", (dir.path() / "state").c_str()};
    std::filesystem::path log = dir.path() / "state" / "zel-desktop-agent" / "agent.log";
};

TEST_F(AgentLog, PathIsUnderStateHomeAndDirectoryIsCreatedOnEveryRead) {
    EXPECT_EQ(zel::logURL(), log);
    EXPECT_TRUE(std::filesystem::is_directory(log.parent_path()));
    std::filesystem::remove_all(dir.path() / "state");
    EXPECT_EQ(zel::logURL(), log);
    EXPECT_TRUE(std::filesystem::is_directory(log.parent_path()));
}

TEST(AgentLogPath, FallsBackToHomeWhenStateHomeIsUnsetOrRelative) {
    const zel::test::TempDir home;
    const zel::test::ScopedEnv homeEnv("HOME", home.path().c_str());
    for (const char* value : {static_cast<const char*>(nullptr), "", "relative/dir"}) {
        const zel::test::ScopedEnv state("XDG_STATE_HOME", value);
        EXPECT_EQ(zel::logURL(), home.path() / ".local/state/zel-desktop-agent/agent.log");
    }
}

TEST_F(AgentLog, AppendsVerbatimWithNothingAdded) {
    zel::appendLog("a");
    EXPECT_EQ(readFile(log), "a");
    zel::appendLog("b\n");
    zel::appendLog("");
    zel::appendLog("[agent] 你好\r\n");
    EXPECT_EQ(readFile(log), "ab\n[agent] 你好\r\n");
}

TEST_F(AgentLog, InvalidUTF8WritesNothing) {
    zel::appendLog("keep\n");
    const std::string invalid[] = {"\xff",
                                   "\xc0\xaf",
                                   "\xe0\x80\xaf",
                                   "\xed\xa0\x80", // overlong, surrogate
                                   "\xf4\x90\x80\x80",
                                   "ok\xe4\xbd",
                                   "\x80",
                                   "\xf8\x88\x80\x80\x80"};
    for (const auto& text : invalid) {
        EXPECT_FALSE(zel::isValidUTF8(text)) << testing::PrintToString(text);
        zel::appendLog(text);
    }
    EXPECT_EQ(readFile(log), "keep\n");
    for (const std::string& valid :
         std::vector<std::string>{"", "ascii", "\xc2\x80", "\xef\xbf\xbf", "\xf0\x90\x80\x80",
                                  "\xf4\x8f\xbf\xbf", "\xed\x9f\xbf", std::string(1, '\0')}) {
        EXPECT_TRUE(zel::isValidUTF8(valid)) << testing::PrintToString(valid);
    }
}

TEST_F(AgentLog, ConcurrentAppendsLoseAndSplitNothing) {
    constexpr int kThreads = 8;
    constexpr int kLines = 2000;
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                zel::appendLog("thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                               std::string(static_cast<std::size_t>(i % 50), 'x') + "\n");
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::istringstream in(readFile(log));
    std::set<std::string> lines;
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ++count;
        lines.insert(line);
    }
    EXPECT_EQ(count, kThreads * kLines);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; ++i) {
            const std::string expected = "thread " + std::to_string(t) + " line " +
                                         std::to_string(i) + " " +
                                         std::string(static_cast<std::size_t>(i % 50), 'x');
            ASSERT_TRUE(lines.contains(expected)) << expected;
        }
    }
}

TEST_F(AgentLog, UnwritableDirectoryChangesNothingAndThrowsNothing) {
    if (::geteuid() == 0) {
        // root ignores permission bits; make the log path a directory instead.
        std::filesystem::create_directories(log);
        EXPECT_NO_THROW(zel::appendLog("lost\n"));
        EXPECT_TRUE(std::filesystem::is_directory(log));
        return;
    }
    zel::appendLog("before\n");
    std::filesystem::permissions(log.parent_path(), std::filesystem::perms::owner_read |
                                                        std::filesystem::perms::owner_exec);
    std::filesystem::permissions(log, std::filesystem::perms::owner_read);
    EXPECT_NO_THROW(zel::appendLog("lost\n"));
    EXPECT_EQ(readFile(log), "before\n");
}

} // namespace
