// The desktop portal's two sessions on the session bus: ScreenCast of one monitor, kept with a
// restore token so that later runs share the screen without asking, and RemoteDesktop (pointer
// and keyboard) with a monitor of its own selected on it, so that absolute pointer motion has a
// stream to be placed on. The portal lets no RemoteDesktop session persist and this version
// cannot remember input consent, so the user is asked for it at every run. Until the user's
// answer each part waits, and every use of it fails with a text that says so.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

using GDBusConnection = struct _GDBusConnection;
using GMainContext = struct _GMainContext;
using GVariant = struct _GVariant;

namespace zel::portal {

// The waiting texts are the user's to read, on the phone too (its client shows a text that starts
// with "电脑正在等待" as it is): they name the dialog and what to press in it.
inline constexpr const char* kScreenWaitingText =
    "电脑正在等待你允许共享屏幕：请在电脑上的“共享屏幕”对话框中选择显示器并点击“共享”。";
inline constexpr const char* kControlWaitingText =
    "电脑正在等待你允许远程控制：请在电脑上的“远程桌面”对话框中打开“允许远程交互”并点击“共享”。";
inline constexpr const char* kScreenRefusedText =
    "The user refused screen sharing in the desktop's dialog; start the connection again to be "
    "asked once more.";
inline constexpr const char* kControlRefusedText =
    "The user refused remote control in the desktop's dialog; start the connection again to be "
    "asked once more.";

// The monitor the portal shares, in the compositor's logical coordinates.
struct SharedMonitor {
    std::uint32_t node = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Empty when the session bus offers the RemoteDesktop and ScreenCast portals; otherwise why not,
// as a sentence for the log.
std::string unavailableReason();

// $XDG_STATE_HOME (or ~/.local/state)/zel-desktop-agent: where the ScreenCast restore token is
// kept from one run to the next.
std::string defaultStateDirectory();

class Session {
public:
    enum class State { idle, waiting, running, refused, failed };
    enum class Part { screen, control };

    explicit Session(std::string stateDirectory = defaultStateDirectory());
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session();

    // Starts a session unless one is running or being asked for; a refused or failed one is
    // asked for again only when `again` is set (a new connection start).
    void begin(bool again = false);
    // Ends both sessions (the desktop's sharing indicator goes) without waiting; only the next
    // begin(true) asks again, a request meanwhile is told to wait.
    void end();
    // Begins when idle, then waits up to `limit` for the user's answer about the part; returns
    // the part's monitor, or throws AppError with the waiting, refusal or failure text.
    SharedMonitor require(Part part, std::chrono::milliseconds limit = {});
    [[nodiscard]] State state(Part part) const;

    // A new connection to the session's PipeWire remote (the caller owns the descriptor).
    int openPipeWireRemote();

    // The RemoteDesktop notifications; each throws AppError when the session is gone. Motion is
    // in the pixels of the monitor that require(Part::control) returns.
    void pointerMotionAbsolute(double x, double y);
    void pointerButton(std::int32_t evdevButton, bool pressed);
    void pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps);
    void keyboardKeysym(std::uint32_t keysym, bool pressed);

private:
    struct Status {
        State state = State::idle;
        std::string error;
        std::string handle; // the portal's session object
        SharedMonitor monitor;
    };

    void run();
    void shareScreen(GDBusConnection* bus, GMainContext* context);
    void allowControl(GDBusConnection* bus, GMainContext* context);
    void stopWorker();
    void notify(const char* method, GVariant* parameters);
    void finish(Part part, State state, std::string error);
    [[nodiscard]] std::string tokenPath() const;
    [[nodiscard]] std::string controlHandle() const;
    Status& status(Part part) { return part == Part::screen ? screen_ : control_; }
    [[nodiscard]] const Status& status(Part part) const {
        return part == Part::screen ? screen_ : control_;
    }

    std::string stateDirectory_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Status screen_;
    Status control_;
    GDBusConnection* bus_ = nullptr;  // guarded by mutex_ while it changes
    GMainContext* context_ = nullptr; // the worker's, woken to stop it
    std::atomic<bool> stopping_{false};
    bool ended_ = false; // guarded by mutex_
    std::thread worker_;
};

} // namespace zel::portal
