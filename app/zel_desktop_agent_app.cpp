#include "app/zel_desktop_agent_app.hpp"

#include "app/autostart.hpp"
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
    display_.address = settings_.address;
    display_.startAtLogin = startsAtLogin();
    if (desktop_.watchConsent) {
        desktop_.watchConsent([this](const std::string& problem) { showConsentProblem(problem); });
    }
}

ZelDesktopAgentApp::~ZelDesktopAgentApp() {
    if (desktop_.watchConsent) {
        desktop_.watchConsent({});
    }
}

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

void ZelDesktopAgentApp::launch(bool showWindow) {
    buildWindow(showWindow);
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

void ZelDesktopAgentApp::buildWindow(bool showWindow) {
    if (window_ || !makeWindow_) {
        return;
    }
    window_ = makeWindow_(*this);
    window_->render(display_);
    if (showWindow) {
        window_->show();
    }
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
            display_.consentText.clear();
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
        display_.consentText.clear();
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

void ZelDesktopAgentApp::showReady(const std::string& tunnelURL) {
    {
        const std::lock_guard lock(stateMutex_);
        zelURL_ = makePairingLink(tunnelURL, token_);
        tunnelURL_ = tunnelURL;
    }
    postReady();
}

void ZelDesktopAgentApp::showConsentProblem(const std::string& problem) {
    mainQueue_.post([this, problem] {
        if (problem == consentProblem_) {
            return;
        }
        consentProblem_ = problem;
        if (!connected_) {
            return;
        }
        renderConnected();
        if (statusPrinter_ && !problem.empty()) {
            statusPrinter_->consent(problem);
        }
    });
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
            if (!consentProblem_.empty()) {
                statusPrinter_->consent(consentProblem_);
            }
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
