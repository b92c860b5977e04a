// The helper runner with real child processes, and the agent environment.
#include "base/agent_log.hpp"
#include "supervisor/agent_helpers.hpp"
#include "supervisor/helper_process.hpp"
#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using zel::test::ended;
using zel::test::readFile;

// Every wait here ends in well under a second when nothing is wrong.
bool eventually(const std::function<bool()>& done) {
    return zel::test::waitUntil(done, std::chrono::seconds(10));
}

class Runner : public ::testing::Test {
protected:
    // Output is recorded, then passed to `also`.
    std::shared_ptr<zel::HelperProcess> launch(const zel::HelperCommand& command) {
        return zel::HelperProcess::launch(command, [this](std::string_view chunk) {
            std::unique_lock lock(mutex);
            output.append(chunk);
            ++chunks;
            lock.unlock();
            also(chunk);
        });
    }
    std::shared_ptr<zel::HelperProcess> shell(const std::string& script) {
        return launch({.executable = "/bin/sh",
                       .arguments = {"-c", script, "sh", "a b", "", "c"},
                       .currentDirectory = dir.path(),
                       .environment = {{"PATH", "/usr/bin:/bin"}, {"ZEL_X", "1 2"}}});
    }
    std::string joined() {
        const std::lock_guard lock(mutex);
        return output;
    }

    zel::test::TempDir dir;
    zel::test::ScopedEnv state{"XDG_STATE_HOME", (dir.path() / "state").c_str()};
    std::mutex mutex;
    std::string output;
    int chunks = 0;
    std::function<void(std::string_view)> also = [](std::string_view) {};
};

TEST_F(Runner, ChildGetsExactlyItsEnvironmentArgumentsDirectoryAndMergedStreamsButNoDescriptor) {
    const zel::test::ScopedEnv inherited("ZEL_RUNNER_INHERITED", "must-not-reach");
    const int leaky = ::open("/dev/null", O_RDONLY); // without O_CLOEXEC
    // ls lists the shell's descriptors (the trailing ":" prevents an exec).
    shell("pwd; printf '%s|' \"$@\"; echo err >&2; env | sort; ls /proc/$$/fd; :")
        ->waitForOutputEnd();
    EXPECT_EQ(joined(), dir.path().string() + "\na b||c|err\nPATH=/usr/bin:/bin\nPWD=" +
                            dir.path().string() + "\nZEL_X=1 2\n0\n1\n2\n");
    ::close(leaky);
}

TEST_F(Runner, TerminateSendsSigtermAndTheChildIsReapedWithoutAWait) {
    pid_t pid = -1;
    {
        const auto process = shell("trap 'echo got TERM; exit 7' TERM; echo ready; "
                                   "while :; do sleep 0.05; done");
        pid = process->pid();
        ASSERT_TRUE(eventually([&] { return !joined().empty(); }));
        process->terminate(); // and the handle goes at once, as at a stop
    }
    EXPECT_TRUE(eventually([&] {
        return !std::filesystem::exists("/proc/" + std::to_string(pid));
    })) << "left a zombie";
    EXPECT_TRUE(eventually([&] { return joined() == "ready\ngot TERM\n"; })) << joined();
}

// This test binary plays the app: started again with ZEL_RUNNER_APP set, it launches a helper,
// says its pid and waits to be killed.
TEST_F(Runner, HelpersEndWithTheAppEvenWhenItIsKilledOutright) {
    if (std::getenv("ZEL_RUNNER_APP") != nullptr) {
        const auto helper = launch({.executable = "/bin/sleep",
                                    .arguments = {"600"},
                                    .currentDirectory = {},
                                    .environment = {}});
        std::printf("helper %d\n", helper->pid());
        std::fflush(stdout);
        ::pause();
    }
    const auto app = launch(
        {.executable = "/proc/self/exe",
         .arguments = {"--gtest_filter=Runner.HelpersEndWithTheAppEvenWhenItIsKilledOutright"},
         .currentDirectory = {},
         .environment = {{"ZEL_RUNNER_APP", "1"}}});
    std::size_t at = std::string::npos;
    ASSERT_TRUE(eventually([&] { return (at = joined().find("helper ")) != std::string::npos; }))
        << joined();
    const pid_t helper = std::stoi(joined().substr(at + 7));
    ASSERT_FALSE(ended(helper));
    ::kill(app->pid(), SIGKILL);
    EXPECT_EQ(app->waitUntilExit(), (zel::ExitStatus{true, SIGKILL}));
    EXPECT_TRUE(eventually([&] { return ended(helper); })) << "the helper outlived the app";
    if (!ended(helper)) {
        ::kill(helper, SIGKILL);
    }
}

TEST_F(Runner, LaunchFailureNamesTheProgramAndThePlatformReason) {
    const auto missing = dir.path() / "missing";
    const zel::HelperCommand command{
        .executable = "/bin/sh", .arguments = {}, .currentDirectory = missing, .environment = {}};
    EXPECT_THAT([&] { (void)zel::HelperProcess::launch(command, {}); },
                testing::ThrowsMessage<std::system_error>(testing::StrEq(
                    "Cannot run /bin/sh in " + missing.string() + ": No such file or directory")));
}

TEST_F(Runner, LoggingPrefixesEachChunkAndDropsInvalidUTF8) {
    // Each write waits for the test to see the last: a runner that buffers until the end hangs.
    const auto logging = zel::attachLogging("agent");
    int seen = 0;
    also = [&](std::string_view chunk) {
        logging(chunk);
        std::ofstream(dir.path() / ("go" + std::to_string(++seen)));
    };
    const auto process = shell("w() { while [ ! -e \"$1\" ]; do sleep 0.01; done; }; "
                               "printf 'two\\nlines\\n'; w go1; printf '\\377bad\\n'; w go2; "
                               "printf '\\344\\275'; w go3; printf '\\240 rest\\n'; w go4; "
                               "printf '你好'");
    ASSERT_TRUE(process->waitForOutputEnd(60s));
    EXPECT_EQ(chunks, 5); // the halves of U+4F60 are dropped one by one
    EXPECT_EQ(readFile(zel::logURL()), "[agent] two\nlines\n[agent] 你好");
}

// Ours with the agent's variables last: they win over inherited values, and none is given twice.
TEST_F(Runner, AgentEnvironmentIsOursWithTheAgentVariablesLast) {
    const zel::AgentHelpers helpers{
        {.resourceDirectory = dir.path(), .nodeFallbacks = {}, .cloudflaredFallbacks = {}},
        "8787",
        8788,
        "S"};
    const zel::test::ScopedEnv inherited("ZEL_TEST_INHERITED", "kept = as is");
    const zel::test::ScopedEnv overridden("ZEL_AGENT_PORT", "9999");
    const zel::Environment environment = helpers.agentEnvironment();
    ASSERT_GT(environment.size(), 7U);
    EXPECT_EQ(environment.back(),
              (std::pair<std::string, std::string>{"ZEL_AGENT_INPUT_URL",
                                                   "http://127.0.0.1:8788/input?secret=S"}));
    const std::map<std::string, std::string> unique(environment.begin(), environment.end());
    EXPECT_EQ(unique.size(), environment.size()) << "a name given twice";
    EXPECT_EQ(unique.at("ZEL_TEST_INHERITED"), "kept = as is");
    EXPECT_EQ(unique.at("ZEL_AGENT_PORT"), "8787");
    EXPECT_TRUE(unique.at("PATH").starts_with((dir.path() / "bin:").string()));
}

} // namespace
