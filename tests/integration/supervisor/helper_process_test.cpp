// The helper runner with a real child process, and the agent's log lines and environment.
#include "base/agent_log.hpp"
#include "supervisor/agent_channel.hpp"
#include "supervisor/agent_helpers.hpp"
#include "supervisor/helper_process.hpp"
#include "tests/support/temp_dir.hpp"

#include <condition_variable>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <unistd.h>

namespace {

using zel::test::readFile;

class Runner : public ::testing::Test {
protected:
    std::shared_ptr<zel::HelperProcess> launch(const zel::HelperCommand& command) {
        return zel::HelperProcess::launch(command, [this](std::string_view chunk) {
            const std::lock_guard lock(mutex);
            output.append(chunk);
        });
    }
    std::string joined() {
        const std::lock_guard lock(mutex);
        return output;
    }

    zel::test::TempDir dir;
    zel::test::ScopedEnv state{"XDG_STATE_HOME", (dir.path() / "state").c_str()};
    std::mutex mutex;
    std::string output;
};

TEST_F(Runner, ChildGetsExactlyItsEnvironmentArgumentsDirectoryAndMergedStreamsButNoDescriptor) {
    const zel::test::ScopedEnv inherited("ZEL_RUNNER_INHERITED", "must-not-reach");
    const int leaky = ::open("/dev/null", O_RDONLY); // without O_CLOEXEC
    // ls lists the shell's descriptors (the trailing ":" prevents an exec).
    const auto script = "pwd; printf '%s|' \"$@\"; echo err >&2; env | sort; ls /proc/$$/fd; :";
    launch({.executable = "/bin/sh",
            .arguments = {"-c", script, "sh", "a b", "", "c"},
            .currentDirectory = dir.path(),
            .environment = {{"PATH", "/usr/bin:/bin"}, {"ZEL_X", "1 2"}}})
        ->waitForOutputEnd();
    EXPECT_EQ(joined(), dir.path().string() + "\na b||c|err\nPATH=/usr/bin:/bin\nPWD=" +
                            dir.path().string() + "\nZEL_X=1 2\n0\n1\n2\n");
    ::close(leaky);
}

// The channel is the child's descriptor 3 and the only one beyond the standard three; lines go
// both ways, and a line that is no JSON object is dropped without closing the channel.
TEST_F(Runner, ChannelReachesTheChildAsDescriptorThreeBothWays) {
    std::mutex received;
    std::vector<nlohmann::json> messages;
    std::condition_variable arrived;
    zel::AgentChannel channel([&](const nlohmann::json& message) {
        const std::lock_guard lock(received);
        messages.push_back(message);
        arrived.notify_all();
    });
    const int leaky = ::open("/dev/null", O_RDONLY); // without O_CLOEXEC, so maybe 3 itself
    const auto script = R"(echo 'not json' >&3; echo '{"hello":1}' >&3; read line <&3;
                           echo "got $line"; ls /proc/$$/fd; :)";
    const auto child = launch({.executable = "/bin/sh",
                               .arguments = {"-c", script},
                               .currentDirectory = {},
                               .environment = {},
                               .channel = channel.childEnd()});
    ::close(leaky);
    channel.releaseChildEnd();
    channel.start();
    {
        std::unique_lock lock(received);
        ASSERT_TRUE(
            arrived.wait_for(lock, std::chrono::seconds(10), [&] { return !messages.empty(); }));
        ASSERT_EQ(messages.size(), 1U);
        EXPECT_EQ(messages[0], nlohmann::json({{"hello", 1}}));
    }
    ASSERT_TRUE(channel.send({{"type", "code"}}));
    child->waitForOutputEnd();
    EXPECT_EQ(joined(), "got {\"type\":\"code\"}\n0\n1\n2\n3\n");
}

TEST_F(Runner, LaunchFailureNamesTheProgramAndThePlatformReason) {
    const auto missing = dir.path() / "missing";
    const zel::HelperCommand command{
        .executable = "/bin/sh", .arguments = {}, .currentDirectory = missing, .environment = {}};
    EXPECT_THAT([&] { (void)zel::HelperProcess::launch(command, {}); },
                testing::ThrowsMessage<std::system_error>(testing::StrEq(
                    "Cannot run /bin/sh in " + missing.string() + ": No such file or directory")));
}

// Chunks as the runner hands them over (the tunnel's steps in the connection test show that it
// does not hold them back): a malformed one, or half a character, is dropped whole.
TEST_F(Runner, LoggingPrefixesEachChunkAndDropsInvalidUTF8) {
    const auto logging = zel::attachLogging("agent");
    for (const char* chunk : {"two\nlines\n", "\377bad\n", "\344\275", "\240 rest\n", "你好"}) {
        logging(chunk);
    }
    EXPECT_EQ(readFile(zel::logURL()), "[agent] two\nlines\n[agent] 你好");
}

// Ours with the agent's variables last for the agent server: they win over inherited values, and
// none is given twice. The tunnel client and the token query get none of them, the secret least.
TEST_F(Runner, AgentVariablesGoLastToTheAgentServerAndToNoOtherHelper) {
    const zel::AgentHelpers helpers{
        {.resourceDirectory = dir.path(), .nodeFallbacks = {}, .cloudflaredFallbacks = {}},
        "8787",
        8788,
        "S3CRET"};
    const zel::test::ScopedEnv inherited("ZEL_TEST_INHERITED", "kept = as is");
    const zel::test::ScopedEnv overridden("ZEL_AGENT_PORT", "9999");
    const zel::Environment environment = helpers.agentEnvironment();
    ASSERT_GT(environment.size(), 7U);
    EXPECT_EQ(environment.back(),
              (std::pair<std::string, std::string>{"ZEL_AGENT_INPUT_URL",
                                                   "http://127.0.0.1:8788/input?secret=S3CRET"}));
    const std::map<std::string, std::string> unique(environment.begin(), environment.end());
    EXPECT_EQ(unique.size(), environment.size()) << "a name given twice";
    EXPECT_EQ(unique.at("ZEL_TEST_INHERITED"), "kept = as is");
    EXPECT_EQ(unique.at("ZEL_AGENT_PORT"), "8787");
    EXPECT_TRUE(unique.at("PATH").starts_with((dir.path() / "bin:").string()));
    const zel::Environment others = helpers.helperEnvironment();
    for (const auto& [name, value] : others) {
        EXPECT_FALSE(name.starts_with("ZEL_AGENT_")) << name;
        EXPECT_EQ(value.find("S3CRET"), std::string::npos) << name;
    }
    EXPECT_EQ(others.back().first, "PATH");
}

} // namespace
