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
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

using GDBusConnection = struct _GDBusConnection;
using GMainContext = struct _GMainContext;
using GVariant = struct _GVariant;

namespace zel::portal {

// The user's texts, in the window and on the phone (its client shows a text that starts with one
// of these beginnings as it is, "电脑正在等待", "电脑上拒绝了", "电脑上的共享已停止",
// "电脑的桌面共享服务出错"): what happened, the dialog's words as GNOME's Chinese dialogs have
// them, and what to do. A dialog that came up without the focus (a window mapped after it took
// it) can take its first click as the focus alone, so the user is told to click it first. The
// portal's own detail of a failure goes to the log.
inline constexpr const char* kScreenWaitingText =
    "电脑正在等待你允许共享屏幕：请先点一下电脑上的“屏幕共享”对话框，再选择监视器并点击“分享”。";
inline constexpr const char* kControlWaitingText =
    "电脑正在等待你允许远程控制：请先点一下电脑上的“远程桌面”对话框，"
    "再打开“允许远程交互”并点击“分享”。";
inline constexpr const char* kScreenRefusedText =
    "电脑上拒绝了共享屏幕，手机看不到画面：请在电脑上的应用中点击“关闭”再点击“开启”，"
    "并在“屏幕共享”对话框中选择监视器并点击“分享”。";
inline constexpr const char* kControlRefusedText =
    "电脑上拒绝了远程控制，手机只能查看画面：如需操作，请在电脑上的应用中点击“关闭”再点击“开启”，"
    "并在“远程桌面”对话框中打开“允许远程交互”并点击“分享”。";
inline constexpr const char* kSharingEndedText =
    "电脑上的共享已停止：请在电脑上的应用中点击“关闭”再点击“开启”，重新允许共享。";
inline constexpr const char* kPortalFailedText =
    "电脑的桌面共享服务出错，无法共享屏幕：请在电脑上的应用中点击“关闭”再点击“开启”；"
    "仍然不行时，请注销后重新登录电脑。";

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
    // Told (on the session's worker or the caller of begin) the user's text of a refusal or a
    // failure whenever a part settles or the session is asked for again, empty while none is.
    void setListener(std::function<void(const std::string& problem)> listener);

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
    void tell();
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
    std::mutex listenerMutex_; // held while telling, so that a cleared listener is told no more
    std::function<void(const std::string&)> listener_;
};

} // namespace zel::portal
