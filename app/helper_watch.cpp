// The controller's helpers after their launch: the agent server's start, its liveness probe and its
// restarts; the tunnel's start, its announcement or silence, and its end.
#include "app/pairing.hpp"
#include "app/zel_desktop_agent_app.hpp"
#include "base/agent_log.hpp"
#include "base/app_error.hpp"
#include "input/input_actions.hpp"
#include "supervisor/agent_server.hpp"
#include "supervisor/helper_process.hpp"
#include "supervisor/port_holder.hpp"
#include "supervisor/public_address.hpp"
#include "supervisor/tunnel.hpp"

#include <algorithm>
#include <csignal>
#include <thread>

namespace zel {

void ZelDesktopAgentApp::launchServerLocked() {
    const std::uint64_t generation = ++serverGeneration_;
    auto channel = std::make_shared<AgentChannel>(
        outputGate_.guard([this, generation](const nlohmann::json& message) {
            onAgentMessage(generation, message);
        }));
    serverProcess_ = launchAgentServer(helpers_, token_,
                                       outputGate_.guard([this, generation](ExitStatus status) {
                                           onServerExit(generation, status);
                                       }),
                                       channel->childEnd());
    channel->releaseChildEnd();
    channel->start();
    channel->send(settingsMessage(settings_));
    // A crashed server's channel may be inside a callback waiting for this lock: it goes on the
    // main queue, where no lock is held.
    if (channel_) {
        mainQueue_.post([retired = std::move(channel_)] {});
    }
    channel_ = std::move(channel);
}

void ZelDesktopAgentApp::clearAgentPort() {
    const auto port = static_cast<std::uint16_t>(std::stoi(kPort));
    const auto holder = portHolder(port);
    if (!holder) {
        return;
    }
    // An agent server of an earlier run of ours: its app was killed outright while it was
    // stopped or hung, and nobody is left to end it.
    if (isOurAgentServer(*holder, helpers_.agentServerDirectory())) {
        appendLog("An agent server of an earlier run (pid " + std::to_string(holder->pid) +
                  ") held port " + kPort + "; it was ended\n");
        ::kill(holder->pid, SIGKILL);
        for (int wait = 0; wait < 100 && portHolder(port); ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return;
    }
    const std::string program = holder->command.substr(0, holder->command.find(' '));
    throw AppError("端口 " + kPort + " 已被其他程序占用（" +
                   std::filesystem::path(program).filename().string() + "，进程 " +
                   std::to_string(holder->pid) + "），请关闭它后重新开启。");
}

void ZelDesktopAgentApp::startServer() {
    // Declared before the locks: the previous probe, ended by its stop, is joined after them.
    std::jthread previousProbe;
    std::shared_ptr<HelperProcess> process;
    clearAgentPort();
    {
        const std::lock_guard lock(stateMutex_);
        throwIfStopped();
        launchServerLocked();
        process = serverProcess_;
    }
    updateStatus(kServerStepStatus, kServerStepDetail);
    {
        // A stop ends the wait early: quitting need not sit out the grace period.
        std::unique_lock lock(stateMutex_);
        if (stopped_.wait_for(lock, kServerGracePeriod,
                              [this] { return stopCount_ != startStopCount_; })) {
            throw StartStopped{};
        }
    }
    const std::lock_guard lock(stateMutex_);
    if (!process->isRunning()) {
        throw AppError("本机服务启动失败，请重新打开应用。");
    }
    // From here on a death is the watch's to handle: the exit handler sees this under the lock.
    serverWatched_ = true;
    // The previous start's probe has seen its stop: joined once the lock is released.
    previousProbe = std::move(serverWatch_);
    lastPong_ = 0; // the new probe counts from 1
    pongGeneration_ = 0;
    serverWatch_ = std::jthread(
        [this, stops = startStopCount_](const std::stop_token& stop) { watchServer(stop, stops); });
}

void ZelDesktopAgentApp::watchServer(const std::stop_token& stop, std::uint64_t startStops) {
    for (std::uint64_t id = 1;; ++id) {
        std::shared_ptr<AgentChannel> channel;
        std::uint64_t generation = 0;
        {
            std::unique_lock lock(stateMutex_);
            if (stopped_.wait_for(lock, stop, kProbeInterval,
                                  [&] { return stopCount_ != startStops; }) ||
                stop.stop_requested()) {
                return;
            }
            channel = channel_;
            generation = serverGeneration_;
        }
        if (!channel || !channel->send({{"type", "ping"}, {"id", id}})) {
            continue; // between a crash and its restart
        }
        std::unique_lock lock(stateMutex_);
        const bool answered = stopped_.wait_for(lock, stop, kProbeLimit, [&] {
            return lastPong_ >= id || stopCount_ != startStops || generation != serverGeneration_;
        });
        if (stop.stop_requested() || stopCount_ != startStops || generation != serverGeneration_) {
            continue;
        }
        // A server that never answered is an older one without the probe: it is left alone.
        if (!answered && pongGeneration_ == generation && serverProcess_) {
            appendLog("Agent server did not answer for " +
                      std::to_string(kProbeLimit.count() / 1000) + " s; restarting\n");
            serverProcess_->kill(); // its end restarts it, as a crash's does
        }
    }
}

void ZelDesktopAgentApp::startTunnel() {
    const auto limit = tunnelAnnounceLimit();
    // Declared before the lock: the previous watch, stale by now, is joined after it is released.
    std::jthread previousWatch;
    // Launching and posting the step's texts under the lock that showReady takes keeps an early
    // address from being overwritten by those texts.
    std::unique_lock lock(stateMutex_);
    throwIfStopped();
    // The environment's choice wins over the window's; a bad one fails the start with its text.
    const PublicAddress address =
        checkedAddress(addressFromEnvironment().value_or(settings_.address));
    const std::uint64_t generation = ++tunnelGeneration_;
    const auto onExit = outputGate_.guard(
        [this, generation](ExitStatus status) { onTunnelExit(generation, status); });
    switch (address.kind) {
    case PublicAddress::Kind::own:
        // The owner routes the address: nothing to start, ready once the server is.
        lock.unlock();
        onTunnelAddress(generation, fixedAddress(address));
        return;
    case PublicAddress::Kind::namedTunnel:
        tunnelProcess_ =
            launchNamedTunnel(helpers_, address.tunnelToken,
                              outputGate_.guard([this, generation, url = fixedAddress(address)] {
                                  onTunnelAddress(generation, url);
                              }),
                              outputGate_.guard([this, generation](const std::string& failure) {
                                  onTunnelFailure(generation, failure);
                              }),
                              onExit);
        break;
    case PublicAddress::Kind::quickTunnel:
        tunnelProcess_ = launchTunnel(helpers_, kPort,
                                      outputGate_.guard([this, generation](const std::string& url) {
                                          onTunnelAddress(generation, url);
                                      }),
                                      onExit);
        break;
    }
    updateStatus(kTunnelStepStatus, kTunnelStepDetail);
    previousWatch = std::move(tunnelWatch_);
    tunnelWatch_ = std::jthread([this, generation, limit](const std::stop_token& stop) {
        watchTunnel(stop, generation, limit);
    });
}

void ZelDesktopAgentApp::watchTunnel(const std::stop_token& stop, std::uint64_t generation,
                                     std::chrono::seconds limit) {
    {
        std::unique_lock lock(stateMutex_);
        if (stopped_.wait_for(lock, stop, limit,
                              [&] { return generation != tunnelGeneration_ || tunnelReady_; }) ||
            stop.stop_requested()) {
            return;
        }
        // Stale from here: a late address is not shown and the client's end is not another failure.
        ++tunnelGeneration_;
    }
    appendLog("Tunnel announced no address within " + std::to_string(limit.count()) + " s\n");
    failRunning(kTunnelTimeoutDetail);
}

namespace {

std::string describe(ExitStatus status) {
    return status.signalled ? "signal " + std::to_string(status.value)
                            : "exit status " + std::to_string(status.value);
}

} // namespace

void ZelDesktopAgentApp::onServerExit(std::uint64_t generation, ExitStatus status) {
    // Keys its clients held down would stay down with nobody left to let go of them.
    if (desktop_.input) {
        InputActions::releaseHeldKeys(*desktop_.input);
    }
    std::string failure;
    {
        const std::lock_guard lock(stateMutex_);
        if (generation != serverGeneration_ || !serverWatched_) {
            return; // stopped, or still starting: the start reports it
        }
        const auto now = std::chrono::steady_clock::now();
        while (!serverRestarts_.empty() &&
               now - serverRestarts_.front() > std::chrono::minutes(1)) {
            serverRestarts_.pop_front();
        }
        if (serverRestarts_.size() >= kServerRestartsPerMinute) {
            appendLog("Agent server ended (" + describe(status) + ") too often; giving up\n");
            failure = kServerCrashedDetail;
        } else {
            serverRestarts_.push_back(now);
            appendLog("Agent server ended (" + describe(status) + "); restarting\n");
            try {
                launchServerLocked(); // same environment, same token file, same port
            } catch (const std::exception& error) {
                failure = displayText(error);
            }
        }
    }
    if (!failure.empty()) {
        failRunning(failure);
    }
}

void ZelDesktopAgentApp::onTunnelExit(std::uint64_t generation, ExitStatus status) {
    bool wasReady = false;
    {
        const std::lock_guard lock(stateMutex_);
        if (generation != tunnelGeneration_) {
            return;
        }
        wasReady = tunnelReady_;
    }
    // Its last lines, the reason included, are in the log already.
    appendLog("Tunnel ended (" + describe(status) + ")\n");
    failRunning(wasReady ? kTunnelLostDetail : kTunnelFailedDetail);
}

void ZelDesktopAgentApp::onTunnelFailure(std::uint64_t generation, const std::string& failure) {
    {
        const std::lock_guard lock(stateMutex_);
        if (generation != tunnelGeneration_) {
            return;
        }
        ++tunnelGeneration_; // its end, which follows, is this failure
    }
    failRunning(failure);
}

void ZelDesktopAgentApp::onTunnelAddress(std::uint64_t generation, const std::string& address) {
    {
        const std::lock_guard lock(stateMutex_);
        if (generation != tunnelGeneration_) {
            return; // a stopped tunnel's late output
        }
        tunnelReady_ = true;
        // Under the same lock as the check: a stop now comes wholly before (nothing stored) or
        // after (the link cleared, its idle item queued behind the ready one).
        zelURL_ = makePairingLink(address, token_);
        tunnelURL_ = address;
    }
    stopped_.notify_all();
    postReady();
}

// The QR goes with the helpers: an address that no longer answers is never shown.
void ZelDesktopAgentApp::failRunning(const std::string& message) {
    stopProcesses();
    showError(message);
}

} // namespace zel
