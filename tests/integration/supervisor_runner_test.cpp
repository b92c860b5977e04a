// The helper runner and toolkit with real child processes: environment, merged output, chunks,
// exit statuses, descriptors, reaping, look-up and captured runs.
#include "app/app_error.hpp"
#include "supervisor/agent_helpers.hpp"
#include "supervisor/agent_log.hpp"
#include "supervisor/helper_process.hpp"
#include "tests/support/temp_dir.hpp"

#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using zel::test::readFile;

class Runner : public ::testing::Test {
protected:
    // Launches sh with the script; each chunk is stored, then given to `also`.
    std::shared_ptr<zel::HelperProcess>
    shell(const std::string& script, zel::Environment environment = {{"PATH", "/usr/bin:/bin"}}) {
        return zel::HelperProcess::launch({.executable = "/bin/sh",
                                           .arguments = {"-c", script, "sh", "a b", "", "c"},
                                           .currentDirectory = dir.path(),
                                           .environment = std::move(environment)},
                                          [this](std::string_view chunk) {
                                              {
                                                  const std::lock_guard lock(mutex);
                                                  chunks.emplace_back(chunk);
                                                  all += chunk;
                                              }
                                              also(chunk);
                                          });
    }
    static bool eventually(const std::function<bool()>& done) {
        for (int i = 0; i < 1000 && !done(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        return done();
    }
    std::string joined() {
        const std::lock_guard lock(mutex);
        return all;
    }

    zel::test::TempDir dir;
    zel::test::ScopedEnv state{"XDG_STATE_HOME", (dir.path() / "state").c_str()};
    std::mutex mutex;
    std::vector<std::string> chunks;
    std::string all;
    std::function<void(std::string_view)> also = [](std::string_view) {};
};

TEST_F(Runner, ChildGetsExactlyTheGivenEnvironmentArgumentsAndDirectory) {
    const zel::test::ScopedEnv inherited("ZEL_RUNNER_INHERITED", "must-not-reach");
    shell("pwd; printf '%s|' \"$@\"; echo; env | sort",
          {{"PATH", "/usr/bin:/bin"}, {"ZEL_X", "1 2"}})
        ->waitForOutputEnd();
    // sh adds PWD itself; nothing of ours is there.
    EXPECT_EQ(joined(), dir.path().string() + "\na b||c|\nPATH=/usr/bin:/bin\nPWD=" +
                            dir.path().string() + "\nZEL_X=1 2\n");
}

TEST_F(Runner, MergesBothStreamsInWriteOrderAndLeaksNoDescriptor) {
    // Descriptors opened without O_CLOEXEC, as other libraries in the process may do.
    const int leaky = ::open("/dev/null", O_RDONLY);
    // The shell lists its own descriptors from a forked ls (the trailing ":" prevents an exec).
    shell("echo out1; echo err1 >&2; echo out2; ls /proc/$$/fd; :")->waitForOutputEnd();
    EXPECT_EQ(joined(), "out1\nerr1\nout2\n0\n1\n2\n");
    ::close(leaky);
}

TEST_F(Runner, DeliversEachChunkAsItArrives) {
    // The second part is written only after the test has seen the first: a runner that buffers
    // until the end would hang here.
    also = [&](std::string_view) { std::ofstream(dir.path() / "go"); };
    ASSERT_TRUE(shell("printf one; while [ ! -e go ]; do sleep 0.01; done; printf two")
                    ->waitForOutputEnd(60s));
    EXPECT_EQ(chunks, (std::vector<std::string>{"one", "two"}));
}

TEST_F(Runner, ReportsExitStatusesAndTerminatingAnEndedChildIsHarmless) {
    const std::pair<std::string, zel::ExitStatus> cases[] = {
        {"exit 0", {false, 0}}, {"exit 255", {false, 255}}, {"kill -KILL $$", {true, SIGKILL}}};
    for (const auto& [script, expected] : cases) {
        const auto process = shell(script);
        EXPECT_EQ(process->waitUntilExit(), expected) << script;
        EXPECT_FALSE(process->isRunning());
        process->terminate();
        EXPECT_EQ(process->waitUntilExit(), expected) << script;
    }
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

TEST_F(Runner, LaunchFailureNamesTheProgramAndThePlatformReason) {
    const auto missing = dir.path() / "missing";
    const std::pair<zel::HelperCommand, std::string> cases[] = {
        {{.executable = missing, .arguments = {}, .currentDirectory = {}, .environment = {}},
         "Cannot run " + missing.string() + ": No such file or directory"},
        {{.executable = "/bin/sh", .arguments = {}, .currentDirectory = missing, .environment = {}},
         "Cannot run /bin/sh in " + missing.string() + ": No such file or directory"},
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
    EXPECT_EQ(chunks.size(), 5U); // the halves of U+4F60 are dropped one by one
    EXPECT_EQ(readFile(zel::logURL()), "[agent] two\nlines\n[agent] 你好");
}

class Toolkit : public Runner {
protected:
    std::filesystem::path resources = dir.path() / "res";
    std::string secret = "0F2C3B4A-1D2E-4F3A-9B8C-7D6E5F4A3B2C";
    zel::AgentHelpers helpers{
        {.resourceDirectory = resources, .nodeFallbacks = {}, .cloudflaredFallbacks = {}},
        "8787",
        8788,
        secret};
};

TEST_F(Toolkit, FindsTheResourceHelperFirstThenTheFirstExecutableFallback) {
    const std::vector<std::filesystem::path> fallbacks{dir.path() / "a", dir.path() / "b",
                                                       dir.path() / "c", resources / "bin/node"};
    for (const auto& [path, mode] : {std::pair{fallbacks[1], 0644}, {fallbacks[2], 0755}}) {
        std::ofstream(path) << "#!/bin/sh\n";
        ::chmod(path.c_str(), mode); // b is present but not executable: skipped
    }
    EXPECT_EQ(helpers.executable("node", fallbacks), fallbacks[2]);
    std::filesystem::create_directories(resources / "bin");
    std::filesystem::copy_file(fallbacks[2], fallbacks[3]);
    ::chmod(fallbacks[3].c_str(), 0755);
    EXPECT_EQ(helpers.executable("node", std::span(fallbacks).first(3)), fallbacks[3]);
    EXPECT_THROW((void)helpers.executable("cloudflared", std::span(fallbacks).first(2)),
                 zel::AppError); // its message: in the connection test
}

TEST_F(Toolkit, AgentEnvironmentIsOursWithTheSevenVariablesLastAndInOrder) {
    const zel::test::ScopedEnv path("PATH", "/custom/bin:/usr/bin:/bin");
    const zel::test::ScopedEnv inherited("ZEL_TEST_INHERITED", "kept = as is");
    const zel::test::ScopedEnv overridden("ZEL_AGENT_PORT", "9999");
    const std::string bin = (resources / "bin").string();
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
    for (const auto& [name, value] : environment) {
        EXPECT_EQ(std::count_if(environment.begin(), environment.end(),
                                [&](const auto& other) { return other.first == name; }),
                  1)
            << name;
    }
    EXPECT_NE(std::find(environment.begin(), environment.end(),
                        std::pair<std::string, std::string>("ZEL_TEST_INHERITED", "kept = as is")),
              environment.end());
}

TEST_F(Toolkit, CapturedRunsLogTheirOutputAndFailOnANonZeroStatus) {
    struct Case {
        const char* script;
        std::optional<std::string> result; // nothing: fails with `message`
        std::string message;
        std::string logged;
    };
    const Case cases[] = {
        {"printf ' \\n\\t'; kill -TERM $$", std::nullopt, "命令执行失败。", " \n\t"},
        {"printf 'ok\\377'", "", "", ""},
        {"printf 'ok\\377'; exit 2", std::nullopt, "命令执行失败。", ""},
    };
    std::filesystem::create_directories(resources / "agent");
    for (const auto& c : cases) {
        std::filesystem::remove(zel::logURL());
        const std::vector<std::string> arguments{"-c", c.script};
        try {
            EXPECT_EQ(
                std::optional(helpers.runAndCapture("/bin/sh", arguments, resources / "agent")),
                c.result)
                << c.script;
        } catch (const zel::AppError& error) {
            EXPECT_FALSE(c.result.has_value()) << c.script;
            EXPECT_EQ(error.message, c.message) << c.script;
        }
        EXPECT_EQ(readFile(zel::logURL()), c.logged) << c.script;
    }
}

} // namespace
