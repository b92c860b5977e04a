// The helper runner and toolkit with real child processes: environment, merged output, chunks,
// exit statuses, descriptors, reaping, look-up and captured runs.
#include "app/app_error.hpp"
#include "supervisor/agent_helpers.hpp"
#include "supervisor/agent_log.hpp"
#include "supervisor/helper_process.hpp"
#include "tests/support/temp_dir.hpp"

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using zel::test::readFile;

const zel::Environment kShellEnvironment{{"PATH", "/usr/bin:/bin"}};

// Collects chunks from the reader thread.
struct Chunks {
    std::mutex mutex;
    std::vector<std::string> items;
    std::function<void(std::string_view)> also;

    zel::OutputHandler handler() {
        return [this](std::string_view chunk) {
            {
                const std::lock_guard lock(mutex);
                items.emplace_back(chunk);
            }
            if (also) {
                also(chunk);
            }
        };
    }
    std::string joined() {
        const std::lock_guard lock(mutex);
        std::string all;
        for (const auto& item : items) {
            all += item;
        }
        return all;
    }
};

std::shared_ptr<zel::HelperProcess> shell(const std::string& script, Chunks& chunks,
                                          const std::filesystem::path& directory = {}) {
    return zel::HelperProcess::launch({.executable = "/bin/sh",
                                       .arguments = {"-c", script},
                                       .currentDirectory = directory,
                                       .environment = kShellEnvironment},
                                      chunks.handler());
}

bool processGone(pid_t pid) {
    for (int i = 0; i < 1000; ++i) {
        if (!std::filesystem::exists("/proc/" + std::to_string(pid))) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

class Runner : public ::testing::Test {
protected:
    zel::test::TempDir dir;
    zel::test::ScopedEnv state{"XDG_STATE_HOME", (dir.path() / "state").c_str()};
};

TEST_F(Runner, ChildGetsExactlyTheGivenEnvironmentArgumentsAndDirectory) {
    const zel::test::ScopedEnv inherited("ZEL_RUNNER_INHERITED", "must-not-reach");
    Chunks chunks;
    const auto process = zel::HelperProcess::launch(
        {.executable = "/bin/sh",
         .arguments = {"-c", "pwd; printf '%s|' \"$@\"; echo; env | sort", "sh", "a b", "", "c"},
         .currentDirectory = dir.path(),
         .environment = {{"PATH", "/usr/bin:/bin"}, {"ZEL_X", "1 2"}}},
        chunks.handler());
    EXPECT_EQ(process->waitUntilExit(), (zel::ExitStatus{false, 0}));
    process->waitForOutputEnd();
    // sh adds PWD itself; nothing of ours is there.
    EXPECT_EQ(chunks.joined(), dir.path().string() + "\na b||c|\nPATH=/usr/bin:/bin\nPWD=" +
                                   dir.path().string() + "\nZEL_X=1 2\n");
}

TEST_F(Runner, MergesBothStreamsInWriteOrder) {
    Chunks chunks;
    const auto process = shell("echo out1; echo err1 >&2; echo out2; echo err2 >&2", chunks);
    process->waitForOutputEnd();
    EXPECT_EQ(chunks.joined(), "out1\nerr1\nout2\nerr2\n");
}

TEST_F(Runner, DeliversEachChunkAsItArrives) {
    // The child writes its second part only after the test has seen the first: a runner that
    // buffers until the end would hang here.
    Chunks chunks;
    chunks.also = [&](std::string_view) { std::ofstream(dir.path() / "go"); };
    const auto process =
        shell("printf one; while [ ! -e go ]; do sleep 0.01; done; printf two", chunks, dir.path());
    ASSERT_TRUE(process->waitForOutputEnd(60s));
    EXPECT_EQ(chunks.items, (std::vector<std::string>{"one", "two"}));
}

TEST_F(Runner, ReportsExitStatuses) {
    const std::pair<std::string, zel::ExitStatus> cases[] = {
        {"exit 0", {false, 0}},
        {"exit 3", {false, 3}},
        {"exit 255", {false, 255}},
        {"kill -TERM $$", {true, SIGTERM}},
        {"kill -KILL $$", {true, SIGKILL}},
    };
    for (const auto& [script, expected] : cases) {
        Chunks chunks;
        const auto process = shell(script, chunks);
        EXPECT_EQ(process->waitUntilExit(), expected) << script;
        EXPECT_FALSE(process->isRunning());
        EXPECT_EQ(expected.success(), script == "exit 0");
    }
}

TEST_F(Runner, NoDescriptorOfOursReachesTheChild) {
    // Descriptors opened without O_CLOEXEC, as other libraries in the process may do.
    const int leaky = ::open("/dev/null", O_RDONLY);
    std::array<int, 2> pipeEnds{};
    ASSERT_EQ(::pipe(pipeEnds.data()), 0);
    Chunks chunks;
    // The shell lists its own descriptors from a forked ls (the trailing ":" prevents an exec).
    const auto process = shell("ls /proc/$$/fd; :", chunks);
    process->waitForOutputEnd();
    EXPECT_EQ(chunks.joined(), "0\n1\n2\n");
    ::close(leaky);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
}

TEST_F(Runner, TerminateSendsSigtermAndTheChildIsReapedWithoutAWait) {
    Chunks chunks;
    pid_t pid = -1;
    {
        const auto process = shell("trap 'echo got TERM; exit 7' TERM; echo ready; "
                                   "while :; do sleep 0.05; done",
                                   chunks);
        pid = process->pid();
        chunks.also = [&](std::string_view) {};
        while (chunks.joined().empty()) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_TRUE(process->isRunning());
        process->terminate();
        EXPECT_TRUE(process->terminateRequestedAt().has_value());
        // The handle goes at once, as at a stop; reading and reaping go on without it.
    }
    EXPECT_TRUE(processGone(pid)) << "child " << pid << " left as a zombie";
    for (int i = 0; i < 500 && chunks.joined().find("got TERM") == std::string::npos; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(chunks.joined(), "ready\ngot TERM\n");
}

TEST_F(Runner, TerminatingAnEndedChildIsHarmless) {
    Chunks chunks;
    const auto process = shell("exit 0", chunks);
    process->waitUntilExit();
    process->terminate();
    EXPECT_EQ(process->waitUntilExit(), (zel::ExitStatus{false, 0}));
}

TEST_F(Runner, LaunchFailureNamesTheProgramAndThePlatformReason) {
    const std::pair<zel::HelperCommand, std::string> cases[] = {
        {{.executable = dir.path() / "missing",
          .arguments = {},
          .currentDirectory = {},
          .environment = {}},
         "Cannot run " + (dir.path() / "missing").string() + ": No such file or directory"},
        {{.executable = "/bin/sh",
          .arguments = {},
          .currentDirectory = dir.path() / "nowhere",
          .environment = {}},
         "Cannot run /bin/sh in " + (dir.path() / "nowhere").string() +
             ": No such file or directory"},
    };
    for (const auto& [command, message] : cases) {
        try {
            (void)zel::HelperProcess::launch(command, {});
            ADD_FAILURE() << "launched " << command.executable;
        } catch (const std::system_error& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
    }
}

TEST_F(Runner, LoggingPrefixesEachChunkAndDropsInvalidUTF8) {
    // Each write waits for the test, so that every write is a chunk of its own.
    const auto log = zel::logURL();
    const auto logging = zel::attachLogging("agent");
    int seen = 0;
    Chunks chunks;
    chunks.also = [&](std::string_view chunk) {
        logging(chunk);
        std::ofstream(dir.path() / ("go" + std::to_string(++seen)));
    };
    const auto process = shell("wait_for() { while [ ! -e \"$1\" ]; do sleep 0.01; done; }; "
                               "printf 'two\\nlines\\n'; wait_for go1; "
                               "printf '\\377bad\\n'; wait_for go2; "
                               "printf '\\344\\275'; wait_for go3; "    // half of U+4F60
                               "printf '\\240 rest\\n'; wait_for go4; " // and its other half
                               "printf '你好'",
                               chunks, dir.path());
    ASSERT_TRUE(process->waitForOutputEnd(60s));
    EXPECT_EQ(chunks.items.size(), 5U);
    EXPECT_EQ(readFile(log), "[agent] two\nlines\n[agent] 你好");
}

class Toolkit : public Runner {
protected:
    std::filesystem::path resources = dir.path() / "res";
    zel::AgentHelpers helpers{
        {.resourceDirectory = resources, .nodeFallbacks = {}, .cloudflaredFallbacks = {}},
        "8787",
        8788,
        "0F2C3B4A-1D2E-4F3A-9B8C-7D6E5F4A3B2C"};

    static void writeExecutable(const std::filesystem::path& path, mode_t mode = 0755) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << "#!/bin/sh\n";
        ::chmod(path.c_str(), mode);
    }
};

TEST_F(Toolkit, FindsTheResourceHelperFirstThenTheFirstExecutableFallback) {
    const auto a = dir.path() / "a" / "node";
    const auto b = dir.path() / "b" / "node";
    const auto c = dir.path() / "c" / "node";
    writeExecutable(b, 0644); // present but not executable: skipped
    writeExecutable(c);
    const std::vector<std::filesystem::path> fallbacks{a, b, c};
    EXPECT_EQ(helpers.executable("node", fallbacks), c);
    writeExecutable(resources / "bin" / "node");
    EXPECT_EQ(helpers.executable("node", fallbacks), resources / "bin" / "node");

    const zel::AgentHelpers unknownResources(
        {.resourceDirectory = std::nullopt, .nodeFallbacks = {}, .cloudflaredFallbacks = {}},
        "8787", 8788, "S");
    EXPECT_EQ(unknownResources.executable("node", fallbacks), c);
    for (const auto* name : {"cloudflared", "node"}) {
        try {
            (void)unknownResources.executable(name, std::span(fallbacks).first(2));
            ADD_FAILURE() << name;
        } catch (const zel::AppError& error) {
            EXPECT_EQ(error.message, "缺少 " + std::string(name) + "，请重新获取完整安装包。");
        }
    }
}

TEST_F(Toolkit, AgentEnvironmentIsOursWithTheSevenVariablesLastAndInOrder) {
    const zel::test::ScopedEnv path("PATH", "/custom/bin:/usr/bin:/bin");
    const zel::test::ScopedEnv inherited("ZEL_TEST_INHERITED", "kept = as is");
    const zel::test::ScopedEnv overridden("ZEL_AGENT_PORT", "9999");
    const std::string bin = (resources / "bin").string();
    const std::string secret = "0F2C3B4A-1D2E-4F3A-9B8C-7D6E5F4A3B2C";
    const zel::Environment seven{
        {"PATH", bin + ":/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin"},
        {"ZEL_AGENT_HOST", "127.0.0.1"},
        {"ZEL_AGENT_PORT", "8787"},
        {"ZEL_AGENT_ENABLE_TERMINAL", "1"},
        {"ZEL_AGENT_HELPER_BIN_DIR", bin},
        {"ZEL_AGENT_SCREENSHOT_URL", "http://127.0.0.1:8788/screenshot?secret=" + secret},
        {"ZEL_AGENT_INPUT_URL", "http://127.0.0.1:8788/input?secret=" + secret},
    };
    const zel::Environment environment = helpers.agentEnvironment();
    ASSERT_GE(environment.size(), seven.size() + 1);
    EXPECT_TRUE(std::equal(seven.begin(), seven.end(), environment.end() - 7));
    std::map<std::string, int> counts;
    for (const auto& [name, value] : environment) {
        ++counts[name];
    }
    for (const auto& [name, count] : counts) {
        EXPECT_EQ(count, 1) << name << " appears more than once";
    }
    EXPECT_NE(std::find(environment.begin(), environment.end(),
                        std::pair<std::string, std::string>("ZEL_TEST_INHERITED", "kept = as is")),
              environment.end());

    // What a real child sees: exactly that environment, our PATH replaced.
    std::filesystem::create_directories(resources / "agent");
    const auto output = helpers.runAndCapture("/usr/bin/env", {}, resources / "agent");
    std::string lines;
    for (const auto& [name, value] : environment) {
        lines.append(name).append("=").append(value).append("\n");
    }
    EXPECT_EQ(output, lines);
}

TEST_F(Toolkit, CapturedRunsLogTheirOutputAndFailOnANonZeroStatus) {
    struct Case {
        const char* script;
        std::optional<std::string> result; // nothing: fails with `message`
        std::string message;
        std::string logged;
    };
    const Case cases[] = {
        {"printf 'tok\\n'", "tok\n", "", "tok\n"},
        {"printf 'warn\\n' >&2; printf 'tok\\n'", "warn\ntok\n", "", "warn\ntok\n"},
        {"printf '  word\\n'; exit 1", std::nullopt, "word", "  word\n"},
        {"exit 1", std::nullopt, "命令执行失败。", ""},
        {"printf ' \\n\\t'; kill -TERM $$", std::nullopt, "命令执行失败。", " \n\t"},
        {"printf 'ok\\377'", "", "", ""},
        {"printf 'ok\\377'; exit 2", std::nullopt, "命令执行失败。", ""},
    };
    std::filesystem::create_directories(resources / "agent");
    for (const auto& c : cases) {
        std::filesystem::remove(zel::logURL());
        const std::vector<std::string> arguments{"-c", c.script};
        try {
            const auto output = helpers.runAndCapture("/bin/sh", arguments, resources / "agent");
            EXPECT_EQ(std::optional(output), c.result) << c.script;
        } catch (const zel::AppError& error) {
            EXPECT_FALSE(c.result.has_value()) << c.script;
            EXPECT_EQ(error.message, c.message) << c.script;
        }
        EXPECT_EQ(readFile(zel::logURL()), c.logged) << c.script;
    }
    EXPECT_THROW((void)helpers.runAndCapture(dir.path() / "none", {}, resources / "agent"),
                 std::system_error);
}

} // namespace
