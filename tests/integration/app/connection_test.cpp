// The whole connection through the controller with real node over test agent trees and the
// stand-in tunnel client.
#include "app/owner_settings.hpp"
#include "app/pairing.hpp"
#include "app/terminal_qr.hpp"
#include "base/agent_log.hpp"
#include "supervisor/port_holder.hpp"
#include "supervisor/tunnel.hpp"
#include "tests/support/command.hpp"
#include "tests/support/fakes/recorded_app.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/xvfb.hpp"

#include <array>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <dlfcn.h>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <sys/syscall.h>
#include <thread>

// The order in which the controller signals its helpers, seen where it happens: this program's
// own syscall() stands in front of the C library's and notes each pidfd signal and its target.
namespace {
std::mutex signalledMutex;
std::vector<std::pair<pid_t, long>> signalled;
} // namespace

// It cannot know how many arguments a call passed, so it reads all six the kernel takes: for a
// shorter call the last ones are the caller's stack, harmless but out of bounds for ASan.
extern "C" __attribute__((no_sanitize("address"))) long syscall(long number, ...) noexcept {
    std::va_list list;
    va_start(list, number);
    std::array<long, 6> args{};
    for (long& arg : args) {
        arg = va_arg(list, long);
    }
    va_end(list);
    if (number == SYS_pidfd_send_signal) {
        std::ifstream info("/proc/self/fdinfo/" + std::to_string(args[0]));
        for (std::string line; std::getline(info, line);) {
            if (line.starts_with("Pid:")) {
                const std::lock_guard lock(signalledMutex);
                signalled.emplace_back(std::stoi(line.substr(4)), args[1]);
            }
        }
    }
    using Syscall = long (*)(long, ...);
    static const auto real = reinterpret_cast<Syscall>(::dlsym(RTLD_NEXT, "syscall"));
    return real(number, args[0], args[1], args[2], args[3], args[4], args[5]);
}

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using zel::test::readFile;
const std::string kAddress = "https://gentle-river-mosaic-lantern.trycloudflare.com";

class Connection : public ::testing::Test {
protected:
    Connection() {
        std::filesystem::create_directories(bin);
        std::filesystem::create_directories(agent / "src");
        std::filesystem::create_symlink("/usr/bin/node", bin / "node");
        std::filesystem::copy_file(ZEL_SOURCE_DIR "/tests/fixtures/cloudflared",
                                   bin / "cloudflared");
    }
    ~Connection() override {
        app->stopProcesses();
        queue.drain();
    }

    // config.js answers with `config`'s token; server.js records its environment.
    void writeAgent(const std::string& config = "return { token: 'tok' };",
                    const std::string& server = "") const {
        std::ofstream(agent / "package.json") << R"({"type": "module"})";
        std::ofstream(agent / "src/config.js")
            << "export const configDir = () => '';\nfunction config() {\n"
            << config << "\n}\nexport const renewToken = () => config().token;\n";
        std::ofstream(agent / "src/server.js")
            << "import fs from 'node:fs';\n"
               "fs.writeFileSync(new URL('../server.json', import.meta.url), "
               "JSON.stringify(process.env));\n"
            << (server.empty() ? "setInterval(() => {}, 60000);" : server) << "\n";
    }

    bool waitUntil(const std::function<bool()>& done) {
        for (const auto end = Clock::now() + 60s; Clock::now() < end;
             std::this_thread::sleep_for(10ms)) {
            queue.drain();
            if (done()) {
                return true;
            }
        }
        return false;
    }
    bool waitForStatus(const std::string& status) {
        return waitUntil([&] { return app->display().statusText == status; });
    }
    bool waitForLog(const std::string& text) {
        return waitUntil([&] { return readFile(zel::logURL()).find(text) != std::string::npos; });
    }
    // When `status` was first rendered (only Ready and Failed enable the button).
    std::optional<Clock::time_point> rendered(const std::string& status) {
        for (const auto& [model, at] : renders) {
            if (model.statusText == status &&
                model.buttonEnabled ==
                    (status == zel::kReadyStatus || status == zel::kFailedStatus)) {
                return at;
            }
        }
        return std::nullopt;
    }

    zel::test::TempDir dir;
    zel::test::ScopedEnv stateHome{"XDG_STATE_HOME", (dir.path() / "state").c_str()};
    zel::test::ScopedEnv configHome{"XDG_CONFIG_HOME", (dir.path() / "config").c_str()};
    std::filesystem::path resources = dir.path() / "res";
    std::filesystem::path bin = resources / "bin";
    std::filesystem::path agent = resources / "agent";
    zel::test::ManualMainQueue queue;
    std::vector<zel::test::Render> renders;
    std::filesystem::path printed = dir.path() / "printed";
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> printedFile{std::fopen(printed.c_str(), "w"),
                                                                &std::fclose};
    std::unique_ptr<zel::ZelDesktopAgentApp> app =
        zel::test::makeRecordedApp(queue, renders, resources);
};

TEST_F(Connection, TokenQueryOutcomes) {
    const std::tuple<std::string, std::optional<std::string>, std::string> cases[] = {
        {R"(return { token: '\n' };)", "", ""},
        {R"(console.warn('Warning: old flag'); return { token: 'tok-123' };)",
         "Warning: old flag\ntok-123", ""},
        {R"(process.stderr.write('  config broken\n'); process.exit(3);)", std::nullopt,
         "config broken"},
    };
    for (const auto& [config, token, failure] : cases) {
        SCOPED_TRACE(config);
        writeAgent(config);
        renders.clear();
        app->toggleConnection();
        // clang 14 cannot capture a structured binding.
        const char* expected = token ? zel::kReadyStatus : zel::kFailedStatus;
        ASSERT_TRUE(waitUntil([&] { return rendered(expected).has_value(); }));
        if (token) {
            EXPECT_EQ(app->pairingLink(), zel::makePairingLink(kAddress, *token));
        } else {
            EXPECT_EQ(app->display().detailText, failure);
            EXPECT_FALSE(std::filesystem::exists(agent / "server.json")) << "server launched";
        }
        app->stopProcesses();
        waitForStatus(token ? zel::kIdleStatus : zel::kFailedStatus);
        std::filesystem::remove(agent / "server.json");
    }
}

// Three times a minute a crashed agent server is started again with the same token while the code
// stays; the fourth crash fails the connection.
TEST_F(Connection, CrashedServerRestartsThreeTimesAMinuteThenFails) {
    writeAgent("return { token: 'tok' };", "setTimeout(() => process.exit(1), 2000);");
    app->toggleConnection();
    ASSERT_TRUE(waitForStatus(zel::kReadyStatus));
    ASSERT_TRUE(waitForLog("; restarting\n"));
    queue.drain();
    EXPECT_TRUE(app->display().statusText == zel::kReadyStatus && !app->display().qrHidden);
    ASSERT_TRUE(waitUntil([&] { return app->display().detailText == zel::kServerCrashedDetail; }));
    const std::string log = readFile(zel::logURL());
    const std::regex restarting(R"(Agent server ended \(exit status 1\); restarting\n)");
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), restarting), {}), 3)
        << log;
    EXPECT_NE(log.find("Agent server ended (exit status 1) too often; giving up\n"), log.npos);
    EXPECT_EQ(nlohmann::json::parse(readFile(agent / "server.json"))["ZEL_AGENT_TOKEN"], "tok");
}

// Each way a start fails ends in its text, shown and printed, no sooner than the server's grace
// period, with no code and no helper left; each start after one begins anew.
TEST_F(Connection, EachFailedStartShowsItsTextAndLeavesNoHelper) {
    const zel::test::ScopedEnv limit("ZEL_TUNNEL_TIMEOUT", "3");
    // A desktop that asks its user: the instruction follows the ready line.
    app->setStatusPrinter(
        std::make_unique<zel::TerminalStatusPrinter>(printedFile.get(), zel::kPortalConsentHint));
    const auto release = dir.path() / "release";
    const struct {
        std::string mode; // the stand-in's; "missing": no tunnel client; "server-ends" early
        const char* detail;
        const char* logged; // the reason, in the log
    } rows[] = {
        {"server-ends", "本机服务启动失败，请重新打开应用。", "ERROR: 本机服务启动失败"},
        {"no-such-host", zel::kTunnelFailedDetail,
         "lookup api.trycloudflare.com: no such host\nTunnel ended (exit status 1)\n"},
        {"dies-after-announce", zel::kTunnelLostDetail, "Tunnel ended (signal 9)\n"},
        {"never-announces", zel::kTunnelTimeoutDetail, "Tunnel announced no address within 3 s\n"},
        {"missing", zel::kNoTunnelClient, "ERROR: 缺少隧道客户端 cloudflared"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.mode);
        writeAgent("return { token: 'tok' };",
                   row.mode == "server-ends" ? "setTimeout(() => process.exit(1), 500);" : "");
        std::ofstream(bin / "cloudflared.scenario")
            << nlohmann::json{{"mode", row.mode}, {"release", release.string()}}.dump();
        if (row.mode == "missing") { // the last row
            std::filesystem::remove(bin / "cloudflared");
        }
        renders.clear();
        app->toggleConnection();
        if (row.mode == "dies-after-announce") {
            ASSERT_TRUE(waitUntil([&] { return rendered(zel::kReadyStatus).has_value(); }));
            std::ofstream(release).put('\n');
        }
        ASSERT_TRUE(waitUntil([&] { return app->display().detailText == row.detail; }));
        const auto serverStep = rendered(zel::kServerStepStatus);
        ASSERT_TRUE(serverStep && rendered(zel::kFailedStatus));
        // The grace period is 1.2 s; a render may come late after its post on a loaded machine.
        EXPECT_GE(*rendered(zel::kFailedStatus) - *serverStep, 900ms);
        if (row.mode == "server-ends") { // the first row: no tunnel has run yet
            EXPECT_FALSE(std::filesystem::exists(bin / "cloudflared.invocation"));
        }
        EXPECT_NE(readFile(zel::logURL()).find(row.logged), std::string::npos);
        const std::string line = std::string(zel::kFailedStatus) + "：" + row.detail + "\n";
        EXPECT_NE(readFile(printed).find(line), std::string::npos) << readFile(printed);
        const auto pids = app->helperPids();
        EXPECT_TRUE(app->pairingLink().empty() && !pids.server && !pids.tunnel);
        std::filesystem::remove(release);
    }
    EXPECT_NE(readFile(printed).find(std::string(zel::kReadyStatus) + "\n" +
                                     zel::kPortalConsentHint + "\n"),
              std::string::npos)
        << readFile(printed);
}

TEST_F(Connection, StepsLogTheTunnelVerbatimEachWholeAddressRebuildsTheLinkStopEndsTunnelFirst) {
    // The stand-in's writes, each awaited in the log so that each is a chunk of its own.
    const auto hold = dir.path() / "hold";
    const nlohmann::json writes{"INF |  https://first-half-of-addr",
                                "ess.trycloudflare.com  |\n",
                                "checkpoint\n",
                                nlohmann::json{{"waitFile", hold.string()}},
                                "two: https://a1.trycloudflare.com https://a2.trycloudflare.com\n",
                                "later: https://b-2.trycloudflare.com/\n"};
    std::ofstream(bin / "cloudflared.scenario")
        << nlohmann::json{{"writes", writes}, {"log", zel::logURL().string()}}.dump();
    writeAgent();
    app->toggleConnection();
    // Every chunk before the checkpoint has been handled: none held a whole address.
    ASSERT_TRUE(waitForLog("checkpoint\n"));
    ASSERT_TRUE(waitForStatus(zel::kTunnelStepStatus));
    EXPECT_TRUE(app->pairingLink().empty());
    std::ofstream(hold).put('\n');
    ASSERT_TRUE(waitForLog("later: https://b-2.trycloudflare.com/\n"));
    ASSERT_TRUE(waitForStatus(zel::kReadyStatus));
    EXPECT_EQ(app->pairingLink(), zel::makePairingLink("https://b-2.trycloudflare.com", "tok"));
    const auto pids = app->helperPids();
    ASSERT_TRUE(pids.server && pids.tunnel);
    const pid_t server = *pids.server;
    const pid_t tunnel = *pids.tunnel;
    // The tunnel client gets ours without any of the agent's variables: no token, no secret.
    auto serverEnvironment = nlohmann::json::parse(readFile(agent / "server.json"));
    EXPECT_EQ(serverEnvironment["ZEL_AGENT_TOKEN"], "tok");
    for (auto it = serverEnvironment.begin(); it != serverEnvironment.end();) {
        it = it.key().starts_with("ZEL_AGENT_") ? serverEnvironment.erase(it) : std::next(it);
    }
    EXPECT_EQ(nlohmann::json::parse(readFile(bin / "cloudflared.invocation"))["env"],
              serverEnvironment);

    std::unique_lock lock(signalledMutex);
    signalled.clear();
    lock.unlock();
    app->toggleConnection();
    EXPECT_TRUE(app->pairingLink().empty());
    lock.lock();
    const std::vector<std::pair<pid_t, long>> terms{{tunnel, SIGTERM}, {server, SIGTERM}};
    EXPECT_EQ(signalled, terms) << "SIGTERM, tunnel first";
    lock.unlock();
    // The handles went with the stop: nobody waits, yet neither stays a zombie.
    EXPECT_TRUE(waitUntil([&] {
        return !std::filesystem::exists("/proc/" + std::to_string(server)) &&
               !std::filesystem::exists("/proc/" + std::to_string(tunnel));
    })) << "a helper left behind";
    EXPECT_TRUE(waitForStatus(zel::kIdleStatus));
}

// The owner's channel with a real node server: the settings arrive at its start, its device list
// reaches the window, the owner's decisions and a fresh code reach it, and a restarted server gets
// the settings again.
TEST_F(Connection, TheOwnersChannelCarriesDevicesDecisionsAndCodes) {
    writeAgent("return { token: 'tok' };", R"(
        import net from 'node:net';
        const channel = new net.Socket({ fd: Number(process.env.ZEL_AGENT_CHANNEL_FD) });
        let pending = '';
        channel.on('data', (chunk) => {
          pending += chunk;
          for (let end; (end = pending.indexOf('\n')) >= 0; pending = pending.slice(end + 1)) {
            fs.appendFileSync(new URL('../channel.log', import.meta.url), pending.slice(0, end) + '\n');
          }
        });
        channel.write(JSON.stringify({ type: 'devices', devices: [
          { id: 'd1', name: 'Android · Chrome', open: ['live'], pairedAt: 0 }] }) + '\n');
        setInterval(() => {}, 60000);)");
    const auto log = [&] { return readFile(agent / "channel.log"); };
    app->setRequireConsent(true);
    app->toggleConnection();
    ASSERT_TRUE(waitUntil([&] { return app->display().statusText == zel::connectedStatus(1, 1); }))
        << app->display()
               .statusText; // the list arrived (what the window shows: display_state_test)
    ASSERT_TRUE(waitUntil([&] { return !log().empty(); }));
    EXPECT_EQ(nlohmann::json::parse(log().substr(0, log().find('\n'))),
              nlohmann::json({{"type", "settings"}, {"terminal", true}, {"consent", true}}));

    app->disconnectDevice("d1");
    app->removeDevice("d1");
    app->pairAnotherDevice();
    const std::string link = app->pairingLink();
    const std::string code = link.substr(link.rfind("%3D") + 3);
    ASSERT_EQ(code.size(), 43U) << link;
    ASSERT_TRUE(waitUntil([&] { return log().find(code) != std::string::npos; })) << log();
    EXPECT_NE(log().find(R"({"device":"d1","type":"disconnect"})"), std::string::npos) << log();
    EXPECT_NE(log().find(R"({"device":"d1","type":"remove"})"), std::string::npos) << log();
    // Remembered for the next launch, readable by the owner alone.
    const auto settings = dir.path() / "config/zel-desktop-agent/settings.json";
    EXPECT_EQ(std::filesystem::status(settings).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_TRUE(zel::loadOwnerSettings().requireConsent);
}

// A server stopped with SIGSTOP takes no SIGTERM: at quit it gets SIGKILL after the grace, so no
// orphan keeps the port.
TEST_F(Connection, QuitKillsAHelperThatIgnoresItsEnd) {
    writeAgent();
    app->toggleConnection();
    ASSERT_TRUE(waitForStatus(zel::kReadyStatus));
    const auto pids = app->helperPids();
    ASSERT_TRUE(pids.server.has_value());
    ASSERT_EQ(::kill(*pids.server, SIGSTOP), 0);
    const auto start = Clock::now();
    app->quit();
    // Bounded only against a quit that waits on the stopped server for good.
    EXPECT_LT(Clock::now() - start, zel::ZelDesktopAgentApp::kQuitGrace + 10s);
    EXPECT_TRUE(waitUntil([&] {
        return !std::filesystem::exists("/proc/" + std::to_string(*pids.server));
    })) << "the stopped server outlived the quit";
}

// A server that answered the probe and then hangs (its event loop stuck) is killed and restarted
// as a crashed one is, the same code with it.
TEST_F(Connection, AHungServerIsRestarted) {
    writeAgent("return { token: 'tok' };", R"(
        import net from 'node:net';
        const hang = new URL('../hang', import.meta.url);
        const channel = new net.Socket({ fd: Number(process.env.ZEL_AGENT_CHANNEL_FD) });
        channel.on('data', (chunk) => {
          for (const line of String(chunk).split('\n').filter(Boolean)) {
            const message = JSON.parse(line);
            if (message.type !== 'ping') continue;
            if (fs.existsSync(hang)) for (;;);
            channel.write(JSON.stringify({ type: 'pong', id: message.id }) + '\n');
          }
        });
        setInterval(() => {}, 60000);)");
    app->toggleConnection();
    ASSERT_TRUE(waitForStatus(zel::kReadyStatus));
    const auto before = app->helperPids().server;
    std::this_thread::sleep_for(zel::ZelDesktopAgentApp::kProbeInterval + 1s); // one answer
    std::ofstream(agent / "hang").put('\n');
    ASSERT_TRUE(waitForLog("Agent server did not answer for 3 s; restarting\n"));
    ASSERT_TRUE(waitForLog("Agent server ended (signal 9); restarting\n"));
    std::filesystem::remove(agent / "hang");
    EXPECT_TRUE(waitUntil([&] {
        const auto now = app->helperPids().server;
        return now.has_value() && now != before;
    }));
    EXPECT_EQ(nlohmann::json::parse(readFile(agent / "server.json"))["ZEL_AGENT_TOKEN"], "tok");
}

// A stable address: the owner's named tunnel (ready on its first registered connection, its token
// only in the client's environment) or an address the owner routes (no tunnel at all); a bad
// value fails the start with its text, never falling back to a quick tunnel.
TEST_F(Connection, StableAddressesFromTheEnvironment) {
    const auto token = [](const std::string& secret) {
        return zel::test::runCommand({"node", "-e",
                                      "process.stdout.write(Buffer.from(JSON.stringify({a: 'acct', "
                                      "t: 'tid', s: '" +
                                          secret + "'})).toString('base64'))"})
            .output;
    };
    const std::string good = token("s3cret");
    const struct {
        const char* name;
        std::string token, hostname, url; // the variables set, each where not empty
        std::string link; // the address the pairing link names, or empty for a failure
        std::string failure;
        bool tunnel;
    } rows[] = {
        {"named tunnel", good, "Zel.Example.com/", "", "https://zel.example.com", "", true},
        {"own address", "", "", "https://zel.example.org:8443/", "https://zel.example.org:8443", "",
         false},
        {"malformed token", std::string(48, 'x'), "zel.example.com", "", "",
         zel::kTunnelTokenInvalid, true},
        {"refused token", token("refused"), "zel.example.com", "", "", zel::kTunnelTokenRefused,
         true},
        {"no hostname", good, "", "", "", "隧道的公网主机名无效", false},
        {"plain http", "", "", "http://zel.example.org", "", "自己的地址无效", false},
    };
    writeAgent();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto set = [](const std::string& value) {
            return value.empty() ? nullptr : value.c_str();
        };
        const zel::test::ScopedEnv tokenVariable("ZEL_TUNNEL_TOKEN", set(row.token));
        const zel::test::ScopedEnv hostVariable("ZEL_TUNNEL_HOSTNAME", set(row.hostname));
        const zel::test::ScopedEnv urlVariable("ZEL_PUBLIC_URL", set(row.url));
        std::filesystem::remove(bin / "cloudflared.invocation");
        renders.clear();
        app->toggleConnection();
        const char* expected = row.link.empty() ? zel::kFailedStatus : zel::kReadyStatus;
        ASSERT_TRUE(waitUntil([&] { return rendered(expected).has_value(); }))
            << app->display().detailText;
        if (!row.link.empty()) {
            EXPECT_EQ(app->pairingLink(), zel::makePairingLink(row.link, "tok"));
            EXPECT_EQ(app->helperPids().tunnel.has_value(), row.tunnel);
        } else {
            EXPECT_NE(app->display().detailText.find(row.failure), std::string::npos)
                << app->display().detailText;
        }
        EXPECT_EQ(std::filesystem::exists(bin / "cloudflared.invocation"), row.tunnel);
        if (row.tunnel) {
            const auto invocation = nlohmann::json::parse(readFile(bin / "cloudflared.invocation"));
            EXPECT_EQ(invocation["argv"], nlohmann::json({"tunnel", "--no-autoupdate", "run"}));
            EXPECT_EQ(invocation["env"]["TUNNEL_TOKEN"], row.token);
        }
        app->stopProcesses();
        waitForStatus(row.link.empty() ? zel::kFailedStatus : zel::kIdleStatus);
    }
}

// A start finds the agent port held: by an agent server an earlier run left behind (ended, and the
// start goes on), or by another program (named in the failure; it is left alone).
TEST_F(Connection, APortHeldByAnOrphanOfOursIsClearedAnotherProgramIsNamed) {
    writeAgent("return { token: 'tok' };", R"(
        import net from 'node:net';
        net.createServer().listen(8787, '127.0.0.1');
        setInterval(() => {}, 60000);)");
    const auto listening = [] { return zel::portHolder(8787).has_value(); };
    for (const bool ours : {true, false}) {
        SCOPED_TRACE(ours ? "an orphan of ours" : "another program");
        const std::string directory = ours ? agent.string() : dir.path().string();
        zel::test::Child holder(
            {"sh", "-c",
             "cd \"$0\" && exec node " +
                 (ours ? std::string("src/server.js")
                       : "-e \"require('net').createServer().listen(8787, '127.0.0.1')\""),
             directory});
        ASSERT_TRUE(waitUntil(listening));
        renders.clear();
        app->toggleConnection();
        ASSERT_TRUE(waitUntil(
            [&] { return rendered(ours ? zel::kReadyStatus : zel::kFailedStatus).has_value(); }));
        if (ours) {
            EXPECT_TRUE(waitForLog("held port 8787; it was ended\n"));
            EXPECT_NE(zel::portHolder(8787)->pid, holder.pid()) << "the orphan still listens";
        } else {
            EXPECT_NE(app->display().detailText.find("端口 8787 已被其他程序占用（node"),
                      std::string::npos)
                << app->display().detailText;
            EXPECT_EQ(zel::portHolder(8787)->pid, holder.pid()) << "another program was ended";
        }
        app->stopProcesses();
        queue.drain();
        ASSERT_TRUE(waitUntil([&] {
            const auto held = zel::portHolder(8787);
            return !held || held->pid == holder.pid();
        }));
    }
}

} // namespace
