// The one controller: owns the display, the helper processes, the control service listener and the
// per-launch values, and runs the launch and termination sequences.
#pragma once

#include "app/desktop_environment.hpp"
#include "app/display_model.hpp"
#include "app/main_queue.hpp"
#include "app/owner_settings.hpp"
#include "supervisor/agent_channel.hpp"
#include "supervisor/agent_helpers.hpp"
#include "supervisor/callback_gate.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

namespace zel {

class HelperProcess;  // supervisor: a running child process
class ControlService; // control_service: the service on the control port
class StatusPrinter;  // app/terminal_qr.hpp: what the window shows, for a terminal

// The window's rows of the agent server's device list; entries without an id are left out.
std::vector<DeviceRow> deviceRows(const nlohmann::json& devices);

class ZelDesktopAgentApp {
public:
    using WindowFactory = std::function<std::unique_ptr<WindowView>(ZelDesktopAgentApp&)>;

    // Creates the fields only: no window, no socket, no process. The desktop's backends serve the
    // control service; tests hand fakes, or none, and point helperLocations at a resource tree of
    // their own.
    explicit ZelDesktopAgentApp(MainQueue& mainQueue, DesktopEnvironment desktop = {},
                                WindowFactory makeWindow = {},
                                HelperLocations helperLocations = {});
    ZelDesktopAgentApp(const ZelDesktopAgentApp&) = delete;
    ZelDesktopAgentApp& operator=(const ZelDesktopAgentApp&) = delete;
    ~ZelDesktopAgentApp();

    // Launch, on the GUI thread once the event loop runs: the window, then the control service.
    // Without showWindow the window is built but stays in the tray (a start at login).
    void launch(bool showWindow = true);
    // Quit, on the GUI thread: cancel the listener, then stop both helpers. Returns within about
    // 1.5 s whatever the helpers and a start do: a start still running by then has its hanging
    // child killed.
    void quit();

    void buildWindow(bool showWindow = true);
    void startControlService();
    // The connection: the button's action (GUI thread); the start sequence on a thread of its
    // own; stopping from any thread, tunnel first.
    void toggleConnection();
    void startConnection();
    void stopProcesses();

    // The display operations: each posts exactly one item to the main queue.
    void updateRunningState(bool starting, std::optional<bool> running);
    void updateStatus(std::string status, std::string detail);
    // Also logs "ERROR: " + message + "\n" on the calling thread.
    void showError(const std::string& message);
    // Stores the pairing link built from the address and the current token, then posts the
    // ready item, which shows the QR code of the link stored when it runs.
    void showReady(const std::string& tunnelURL);
    // The desktop's refusal or failure of the sharing in the user's words, shown in place of the
    // consent instruction and printed; empty once it is asked for again. Any thread.
    void showConsentProblem(const std::string& problem);
    [[nodiscard]] static std::optional<QRMatrix> makeQRCode(std::string_view text);

    // The start steps, on the start sequence's thread; failures pass on.
    std::string loadToken();
    void startServer();
    void startTunnel();

    [[nodiscard]] const AgentHelpers& helpers() const { return helpers_; }

    // The owner's controls (app/owner_controls.cpp), on the main queue: each reaches the agent
    // server over its channel; a fresh code is shown for one more device, or hidden again.
    void pairAnotherDevice();
    void disconnectDevice(const std::string& device);
    void removeDevice(const std::string& device);
    void allowDevice(const std::string& device);
    void setAllowTerminal(bool allow);
    void setRequireConsent(bool require);
    void answerConsent(const std::string& request, bool allow);
    // The owner's choice of address, remembered; a running connection restarts on it. Returns the
    // reason it cannot work (the setting is then left as it was), or empty.
    std::string setPublicAddress(const PublicAddress& address);
    // Writes or removes the autostart entry for this executable; a failure is logged.
    void setStartAtLogin(bool on);
    // What the agent server reports (devices, events, consent requests), on the main queue.
    void handleAgentMessage(const nlohmann::json& message);
    // The actions a window is built with: each control calls one of the above.
    WindowActions windowActions();

    // The window's model and the window itself: read and written only on the main queue.
    [[nodiscard]] const DisplayModel& display() const { return display_; }
    [[nodiscard]] WindowView* window() const { return window_.get(); }
    // Set before launch (main.cpp prints to standard output); then used only on the main queue.
    void setStatusPrinter(std::unique_ptr<StatusPrinter> printer);
    // The pairing link of the running connection; empty when there is none. Any thread.
    [[nodiscard]] std::string pairingLink() const;
    // The helpers' process ids, for a look from outside; nullopt for one not running. Any thread.
    struct HelperPids {
        std::optional<int> server;
        std::optional<int> tunnel;
    };
    [[nodiscard]] HelperPids helperPids() const;

    // The agent server may die this often in a minute and be restarted; the next death is shown.
    static constexpr std::size_t kServerRestartsPerMinute = 3;
    static constexpr std::chrono::milliseconds kQuitGrace{1500};
    // The running server is asked this often over its channel whether it is alive; one that
    // has answered before and leaves a question unanswered this long counts as hung: it is
    // killed and restarted as a crash is.
    static constexpr std::chrono::milliseconds kProbeInterval{3000};
    static constexpr std::chrono::milliseconds kProbeLimit{3000};

private:
    // Unwinds a start sequence that a stop overtook; it shows nothing, the stop's display stands.
    struct StartStopped {};
    static constexpr std::uint16_t kControlPort = 8788;
    inline static const std::string kPort = "8787";

    void runStartSequence();
    // Ends an agent server of an earlier run that still holds the agent port; throws AppError
    // naming another program that holds it.
    void clearAgentPort();
    // Sends one message to the running agent server; dropped when none runs.
    void sendToAgent(const nlohmann::json& message);
    // Called on the channel's reader thread; passes a current server's message to the main queue.
    void onAgentMessage(std::uint64_t generation, const nlohmann::json& message);
    // The ready display with the devices: the code while none has paired or the owner asked for
    // one more, "已连接 N 台设备" otherwise. Main queue.
    void renderConnected();
    // The listed devices the owner has not cut off: they may come in without a code.
    [[nodiscard]] std::size_t trustedDevices() const;
    // A fresh pairing code: stored, sent to the server, drawn, printed on a terminal. Main queue.
    void issueCode();
    // Changes, remembers and sends the owner's settings. Main queue.
    void applySettings(const std::function<void(OwnerSettings&)>& change);
    // Shows the link stored when the item runs, or nothing when a stop has cleared it.
    void postReady();
    // Launches the server under the next generation; requires stateMutex.
    void launchServerLocked();
    // Reader threads report the helpers' ends and the tunnel's address with the generation they
    // were launched under; a stop or a newer launch makes them stale.
    void onServerExit(std::uint64_t generation, ExitStatus status);
    void onTunnelExit(std::uint64_t generation, ExitStatus status);
    void onTunnelAddress(std::uint64_t generation, const std::string& address);
    // A named tunnel's client said why it cannot serve (a refused token).
    void onTunnelFailure(std::uint64_t generation, const std::string& failure);
    // Fails the connection when the tunnel of this generation has not announced within limit.
    void watchTunnel(const std::stop_token& stop, std::uint64_t generation,
                     std::chrono::seconds limit);
    void failRunning(const std::string& message);
    // The liveness probe's loop, until a stop.
    void watchServer(const std::stop_token& stop, std::uint64_t startStops);
    void renderWindow();
    // Requires stateMutex: throws when a stop came after this start began.
    void throwIfStopped() const;

    // `window_`, `display_` and `statusPrinter_` (standing for the labels, the QR view and the
    // button) are touched only on the main queue; the helpers, the service, the token and the
    // link are guarded by stateMutex_; the control secret is fixed at construction.
    std::unique_ptr<WindowView> window_;
    DisplayModel display_;
    std::unique_ptr<StatusPrinter> statusPrinter_;
    // Main queue: the connection is ready (its link shown at least once), and the owner asked to
    // show a fresh code while devices are paired.
    bool connected_ = false;
    bool pairing_ = false;
    // The code on record has paired a device: the next showing makes a fresh one.
    bool codeSpent_ = false;
    // The desktop's last word on the sharing, empty while nothing is wrong.
    std::string consentProblem_;
    std::shared_ptr<HelperProcess> serverProcess_;
    std::shared_ptr<HelperProcess> tunnelProcess_;
    std::shared_ptr<ControlService> controlService_;
    std::string token_;
    std::string zelURL_;
    std::string tunnelURL_;
    std::shared_ptr<AgentChannel> channel_;
    // Also guarded by stateMutex_: a start thread sends them to the server it launches.
    OwnerSettings settings_;
    const std::string controlSecret_;
    mutable std::mutex stateMutex_;

    MainQueue& mainQueue_;
    const DesktopEnvironment desktop_;
    WindowFactory makeWindow_;
    const AgentHelpers helpers_;
    // Guarded by stateMutex: a start sequence is running; bumped by every stop; the value the
    // running start began with (a difference means it was stopped and must launch nothing more).
    bool starting_ = false;
    std::uint64_t stopCount_ = 0;
    std::uint64_t startStopCount_ = 0;
    // Also wakes the tunnel's watch when it announces.
    std::condition_variable_any stopped_;
    // Guarded by stateMutex: the token query while it runs, the helpers' generations, whether the
    // server passed its start (and is restarted when it dies), whether the tunnel announced, and
    // the recent restarts.
    std::shared_ptr<HelperProcess> queryProcess_;
    std::uint64_t serverGeneration_ = 0;
    std::uint64_t tunnelGeneration_ = 0;
    bool serverWatched_ = false;
    bool tunnelReady_ = false;
    std::deque<std::chrono::steady_clock::time_point> serverRestarts_;
    // Guarded by stateMutex: the last probe the server answered, and the generation of the
    // server that answered it.
    std::uint64_t lastPong_ = 0;
    std::uint64_t pongGeneration_ = 0;
    // Closed before the other fields go: tunnel output may still arrive after a stop.
    CallbackGate outputGate_;
    // Guarded by stateMutex; joined first when the controller goes, then the tunnel's watch.
    std::jthread tunnelWatch_;
    // The liveness probe of the running connection's server; joined like the tunnel's watch.
    std::jthread serverWatch_;
    std::jthread startThread_;
};

} // namespace zel
