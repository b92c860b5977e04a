#include "app/zel_desktop_agent_app.hpp"

#include "app/pairing.hpp"
#include "app/terminal_qr.hpp"
#include "app/uuid.hpp"
#include "base/agent_log.hpp"
#include "base/app_error.hpp"
#include "control_service/control_service.hpp"
#include "supervisor/agent_server.hpp"
#include "supervisor/helper_process.hpp"
#include "supervisor/tunnel.hpp"

#include <algorithm>
#include <vector>

namespace zel {
namespace {

// Unwinds a start sequence that a stop overtook; it shows nothing, the stop's display stands.
struct StartStopped {};

bool isRunning(const std::shared_ptr<HelperProcess>& process) {
    return process && process->isRunning();
}

} // namespace

ZelDesktopAgentApp::ZelDesktopAgentApp(MainQueue& mainQueue, DesktopEnvironment desktop,
                                       WindowFactory makeWindow, HelperLocations helperLocations)
    : controlSecret_(makeUUIDString()), mainQueue_(mainQueue), desktop_(std::move(desktop)),
      makeWindow_(std::move(makeWindow)),
      helpers_(std::move(helperLocations), kPort, kControlPort, controlSecret_) {
    settings_ = loadOwnerSettings();
    display_.allowTerminal = settings_.allowTerminal;
    display_.requireConsent = settings_.requireConsent;
}

ZelDesktopAgentApp::~ZelDesktopAgentApp() = default;

void ZelDesktopAgentApp::setStatusPrinter(std::unique_ptr<StatusPrinter> printer) {
    statusPrinter_ = std::move(printer);
}

std::string ZelDesktopAgentApp::pairingLink() const {
    const std::lock_guard lock(stateMutex_);
    return zelURL_;
}

ZelDesktopAgentApp::HelperPids ZelDesktopAgentApp::helperPids() const {
    const std::lock_guard lock(stateMutex_);
    const auto pid = [](const std::shared_ptr<HelperProcess>& process) -> std::optional<int> {
        if (!isRunning(process)) {
            return std::nullopt;
        }
        return process->pid();
    };
    return {pid(serverProcess_), pid(tunnelProcess_)};
}

void ZelDesktopAgentApp::launch() {
    buildWindow();
    startControlService();
}

void ZelDesktopAgentApp::quit() {
    std::vector<std::shared_ptr<HelperProcess>> children;
    {
        // Cancelled, not cleared: accepted connections finish on their own.
        const std::lock_guard lock(stateMutex_);
        if (controlService_) {
            controlService_->cancel();
        }
        children = {queryProcess_, serverProcess_, tunnelProcess_};
    }
    stopProcesses();
    // The start thread is joined when the controller goes; a child that ignores SIGTERM (a token
    // query that hangs, a stopped or hung server) must not keep it, nor outlive us holding its
    // port: whatever is still alive after the grace gets SIGKILL.
    const auto deadline = std::chrono::steady_clock::now() + kQuitGrace;
    {
        std::unique_lock lock(stateMutex_);
        stopped_.wait_until(lock, deadline, [this] { return !starting_; });
    }
    for (const auto& child : children) {
        if (!child) {
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!child->waitUntilExit(std::max(left, std::chrono::milliseconds(0)))) {
            child->kill();
        }
    }
}

void ZelDesktopAgentApp::buildWindow() {
    if (window_ || !makeWindow_) {
        return;
    }
    window_ = makeWindow_(*this);
    window_->render(display_);
    window_->show();
}

void ZelDesktopAgentApp::startControlService() {
    const std::lock_guard lock(stateMutex_);
    if (controlService_) {
        return;
    }
    ControlServiceConfig config;
    config.port = kControlPort;
    config.secret = controlSecret_;
    config.handlers = controlHandlers(desktop_);
    // Logs its outcome; when the port cannot be used the app works on without the service.
    controlService_ = zel::startControlService(std::move(config));
}

void ZelDesktopAgentApp::toggleConnection() {
    bool running = false;
    {
        const std::lock_guard lock(stateMutex_);
        running = isRunning(serverProcess_) || isRunning(tunnelProcess_);
    }
    if (running) {
        stopProcesses();
    } else {
        startConnection();
    }
}

void ZelDesktopAgentApp::startConnection() {
    // Declared before the lock so that the finished thread is joined after the lock is released.
    std::jthread finished;
    const std::lock_guard lock(stateMutex_);
    // The flag keeps a second press from racing a start whose button change has not run yet.
    if (starting_ || isRunning(serverProcess_) || isRunning(tunnelProcess_)) {
        return;
    }
    starting_ = true;
    startStopCount_ = stopCount_;
    finished = std::move(startThread_);
    startThread_ = std::jthread([this] { runStartSequence(); });
}

void ZelDesktopAgentApp::runStartSequence() {
    try {
        resetLog();
        appendLog("Starting Zel Desktop Agent UI\n");
        if (!desktop_.platform.empty()) {
            appendLog(desktop_.platform + "\n");
        }
        if (desktop_.connectionStarting) {
            desktop_.connectionStarting();
        }
        updateRunningState(true, std::nullopt);
        std::string loaded = loadToken();
        {
            const std::lock_guard lock(stateMutex_);
            throwIfStopped();
            token_ = std::move(loaded);
        }
        startServer();
        startTunnel();
    } catch (const StartStopped&) { // NOLINT(bugprone-empty-catch): the stop already reset all
    } catch (const std::exception& error) {
        bool stopped = false;
        {
            const std::lock_guard lock(stateMutex_);
            stopped = stopCount_ != startStopCount_;
        }
        if (!stopped) {
            stopProcesses();
            showError(displayText(error));
        }
    }
    {
        const std::lock_guard lock(stateMutex_);
        starting_ = false;
    }
    stopped_.notify_all();
}

void ZelDesktopAgentApp::throwIfStopped() const {
    if (stopCount_ != startStopCount_) {
        throw StartStopped{};
    }
}

std::string ZelDesktopAgentApp::loadToken() {
    auto token = queryAgentToken(helpers_, [this](std::shared_ptr<HelperProcess> query) {
        const std::lock_guard lock(stateMutex_);
        if (stopCount_ != startStopCount_) {
            query->terminate(); // the stop came while it was being launched
        }
        queryProcess_ = std::move(query);
    });
    const std::lock_guard lock(stateMutex_);
    queryProcess_.reset();
    return token;
}

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

void ZelDesktopAgentApp::startServer() {
    // Declared before the locks: the previous probe, ended by its stop, is joined after them.
    std::jthread previousProbe;
    std::shared_ptr<HelperProcess> process;
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
    const std::lock_guard lock(stateMutex_);
    throwIfStopped();
    const std::uint64_t generation = ++tunnelGeneration_;
    tunnelProcess_ = launchTunnel(helpers_, kPort,
                                  outputGate_.guard([this, generation](const std::string& address) {
                                      onTunnelAddress(generation, address);
                                  }),
                                  outputGate_.guard([this, generation](ExitStatus status) {
                                      onTunnelExit(generation, status);
                                  }));
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

void ZelDesktopAgentApp::stopProcesses() {
    // Released after the lock: its reader may be waiting for the lock inside a callback.
    std::shared_ptr<AgentChannel> channel;
    {
        const std::lock_guard lock(stateMutex_);
        channel = std::move(channel_);
        if (tunnelProcess_) {
            tunnelProcess_->terminate();
        }
        if (serverProcess_) {
            serverProcess_->terminate();
        }
        if (queryProcess_) {
            queryProcess_->terminate();
        }
        tunnelProcess_.reset();
        serverProcess_.reset();
        queryProcess_.reset();
        zelURL_.clear();
        tunnelURL_.clear();
        ++stopCount_;
        // Ends still to come from these helpers are the stop's, not failures.
        ++serverGeneration_;
        ++tunnelGeneration_;
        serverWatched_ = false;
        tunnelReady_ = false;
        serverRestarts_.clear();
        mainQueue_.post([this] {
            connected_ = false;
            pairing_ = false;
            codeSpent_ = false;
            display_.qrHidden = true;
            display_.devices.clear();
            display_.pairButtonShown = false;
            renderWindow();
            updateRunningState(false, false);
        });
    }
    stopped_.notify_all();
    if (desktop_.connectionStopped) {
        desktop_.connectionStopped();
    }
}

void ZelDesktopAgentApp::updateRunningState(bool starting, std::optional<bool> running) {
    mainQueue_.post([this, starting, running] {
        if (starting) {
            display_.buttonEnabled = false;
            display_.buttonTitle = kButtonStarting;
            renderWindow();
            return;
        }
        const bool isRunning = running.value_or(false);
        display_.buttonEnabled = true;
        display_.buttonTitle = isRunning ? kButtonStop : kButtonStart;
        // A failure's texts stay until the next start replaces them.
        if (!isRunning && display_.statusText != kFailedStatus) {
            display_.statusText = kIdleStatus;
            display_.detailText = kIdleDetail;
        }
        renderWindow();
    });
}

void ZelDesktopAgentApp::updateStatus(std::string status, std::string detail) {
    mainQueue_.post([this, status = std::move(status), detail = std::move(detail)] {
        display_.statusText = status;
        display_.detailText = detail;
        renderWindow();
    });
}

void ZelDesktopAgentApp::showError(const std::string& message) {
    mainQueue_.post([this, message] {
        display_.statusText = kFailedStatus;
        display_.detailText = message;
        display_.qrHidden = true;
        connected_ = false;
        display_.devices.clear();
        display_.pairButtonShown = false;
        renderWindow();
        updateRunningState(false, false);
        if (statusPrinter_) {
            statusPrinter_->failed(message);
        }
    });
    appendLog("ERROR: " + message + "\n");
}

namespace {

std::string describe(ExitStatus status) {
    return status.signalled ? "signal " + std::to_string(status.value)
                            : "exit status " + std::to_string(status.value);
}

} // namespace

void ZelDesktopAgentApp::onServerExit(std::uint64_t generation, ExitStatus status) {
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

void ZelDesktopAgentApp::showReady(const std::string& tunnelURL) {
    {
        const std::lock_guard lock(stateMutex_);
        zelURL_ = makePairingLink(tunnelURL, token_);
        tunnelURL_ = tunnelURL;
    }
    postReady();
}

void ZelDesktopAgentApp::postReady() {
    mainQueue_.post([this] {
        std::string link;
        {
            const std::lock_guard linkLock(stateMutex_);
            link = zelURL_;
        }
        // A stop that came first cleared the link: its display stands, nothing to pair with.
        if (link.empty()) {
            return;
        }
        display_.qrImage = makeQRCode(link);
        connected_ = true;
        renderConnected();
        updateRunningState(false, true);
        if (statusPrinter_) {
            statusPrinter_->ready(link);
        }
    });
}

std::optional<QRMatrix> ZelDesktopAgentApp::makeQRCode(std::string_view text) {
    return zel::makeQRCode(text);
}

void ZelDesktopAgentApp::renderWindow() {
    if (window_) {
        window_->render(display_);
    }
}

} // namespace zel
