#include "base/agent_log.hpp"
#include "base/unicode_text.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <string>
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

// UTF-8 validation and the one white-space trim, which the log, the input requests and the control
// service's codec all rely on.
TEST(IsValidUTF8, StrictAboutEveryMalformedForm) {
    // Stray and truncated bytes, overlong forms, a surrogate, beyond U+10FFFF, five bytes.
    for (const char* invalid : {"\xff", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                                "\xf4\x90\x80\x80", "ok\xe4\xbd", "\x80", "\xf8\x88\x80\x80\x80"}) {
        EXPECT_FALSE(zel::isValidUTF8(invalid)) << testing::PrintToString(invalid);
    }
    for (const std::string& valid :
         std::vector<std::string>{"", "ascii", "\xc2\x80", "\xef\xbf\xbf", "\xf0\x90\x80\x80",
                                  "\xf4\x8f\xbf\xbf", "\xed\x9f\xbf", std::string(1, '\0')}) {
        EXPECT_TRUE(zel::isValidUTF8(valid)) << testing::PrintToString(valid);
    }
}

TEST(TrimWhitespace, RemovesAsciiAndUnicodeSpacesAtBothEnds) {
    const std::pair<std::string, std::string> cases[] = {
        {"\t\v\f tok \r\n\n", "tok"},
        {"\xe2\x80\xa8tok\xc2\x85", "tok"}, // U+2028, U+0085
        {"\xe4\xbd\xa0 ", "\xe4\xbd\xa0"},  // a CJK character is not a space
        {" \xff ", "\xff"},                 // malformed bytes are kept
        {"\xc2 a", "\xc2 a"},               // a truncated sequence stops the trim
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(zel::trimWhitespace(input), expected) << testing::PrintToString(input);
    }
}

} // namespace
