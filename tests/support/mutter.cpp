#include "tests/support/mutter.hpp"

#include "tests/support/command.hpp"

#include <array>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gio/gio.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zel::test {
namespace {

// Started in this order: the portal and its GNOME backend are activated on the bus later and
// learn WAYLAND_DISPLAY from the activation environment. The dialogs speak Chinese, as our
// users' do (LANGUAGE alone picks the translations; no locale needs generating).
constexpr const char* kStack = R"(cd "$XDG_RUNTIME_DIR"
export HOME="$XDG_RUNTIME_DIR" DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
export XDG_CURRENT_DESKTOP=GNOME GSETTINGS_BACKEND=memory LANG=C.UTF-8 LANGUAGE=zh_CN
dbus-daemon --session --address="unix:path=$XDG_RUNTIME_DIR/bus" --nofork --nopidfile 2>dbus.log &
until [ -S bus ]; do sleep 0.01; done
pipewire >pipewire.log 2>&1 &
wireplumber >wireplumber.log 2>&1 &
mutter --headless --wayland --no-x11 --virtual-monitor 1920x1080 --wayland-display=wayland-0 \
  >mutter.log 2>&1 &
until [ -S wayland-0 ] && [ -S pipewire-0 ]; do sleep 0.01; done
dbus-update-activation-environment WAYLAND_DISPLAY=wayland-0 XDG_CURRENT_DESKTOP=GNOME \
  XDG_SESSION_TYPE=wayland
touch ready
wait
)";

constexpr const char* kMutter = "org.gnome.Mutter.RemoteDesktop";
constexpr std::int32_t kButtonLeft = 0x110;

GDBusConnection* connect(const std::string& address) {
    GError* error = nullptr;
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (bus == nullptr) {
        const std::string text = error->message;
        g_error_free(error);
        throw std::runtime_error("the test bus cannot be reached: " + text);
    }
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    return bus;
}

// A synchronous call whose reply is dropped; throws with D-Bus's text.
GVariant* call(GDBusConnection* bus, const char* name, const char* path, const char* interface,
               const char* method, GVariant* parameters) {
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(bus, name, path, interface, method, parameters, nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (reply == nullptr) {
        const std::string text = error->message;
        g_error_free(error);
        throw std::runtime_error(std::string(method) + " failed: " + text);
    }
    return reply;
}

} // namespace

// A remote-desktop session of mutter's own (no dialog: it is the compositor's private
// interface), whose pointer and keyboard answer the portal's dialogs.
class Mutter::Remote {
public:
    explicit Remote(const std::string& address) : bus_(connect(address)) {
        GVariant* reply = call(bus_, kMutter, "/org/gnome/Mutter/RemoteDesktop", kMutter,
                               "CreateSession", nullptr);
        const gchar* session = nullptr;
        g_variant_get(reply, "(&o)", &session);
        session_ = session;
        g_variant_unref(reply);
        callSession("Start", nullptr);
    }
    Remote(const Remote&) = delete;
    Remote& operator=(const Remote&) = delete;
    ~Remote() { g_object_unref(bus_); }

    // Relative motion only (absolute motion needs a stream): into the corner, then to the point.
    void click(double x, double y) {
        callSession("NotifyPointerMotionRelative", g_variant_new("(dd)", -1e5, -1e5));
        callSession("NotifyPointerMotionRelative", g_variant_new("(dd)", x, y));
        callSession("NotifyPointerButton", g_variant_new("(ib)", kButtonLeft, TRUE));
        callSession("NotifyPointerButton", g_variant_new("(ib)", kButtonLeft, FALSE));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

private:
    void callSession(const char* method, GVariant* parameters) {
        g_variant_unref(call(bus_, kMutter, session_.c_str(),
                             "org.gnome.Mutter.RemoteDesktop.Session", method, parameters));
    }

    GDBusConnection* bus_;
    std::string session_;
};

Mutter::Mutter() {
    namespace fs = std::filesystem;
    runtimeDir_ = (dir_.path() / "run").string();
    fs::create_directory(runtimeDir_);
    fs::permissions(runtimeDir_, fs::perms::owner_all);
    bus_ = "unix:path=" + runtimeDir_ + "/bus";

    // setsid: one process group, ended as one, with the services the bus starts.
    pid_ = spawnLogged({"env", "-i", "PATH=/usr/bin:/bin", "XDG_RUNTIME_DIR=" + runtimeDir_,
                        "setsid", "sh", "-c", kStack},
                       {}, (dir_.path() / "stack.log").string());

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(runtimeDir_ + "/ready")) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("the mutter stack ended at start: " + logs());
        }
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("the mutter stack did not start: " + logs());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Mutter::~Mutter() {
    remote_.reset();
    if (pid_ > 0) {
        ::kill(-pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        // Services the bus started end with their bus; a straggler of the group is ended here.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::kill(-pid_, SIGKILL);
        // The directory goes once they are gone: one still writing there (the document portal's
        // mount, a log) made its removal stop halfway and leave it behind.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (::kill(-pid_, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

std::vector<std::string> Mutter::clientEnv() const {
    return {"DBUS_SESSION_BUS_ADDRESS=" + bus_, "XDG_RUNTIME_DIR=" + runtimeDir_,
            "WAYLAND_DISPLAY=" + runtimeDir_ + "/wayland-0"};
}

std::string Mutter::path(const std::string& name) const {
    return (dir_.path() / name).string();
}

std::string Mutter::logs() const {
    // tail names each file above its text.
    return runCommand(
               {"sh", "-c", "cd \"$0\" && tail -n +1 ../stack.log *.log 2>/dev/null", runtimeDir_})
        .output;
}

bool Mutter::answerDialog(Dialog dialog, bool allow, const std::function<bool()>& answered,
                          const std::function<bool()>& shown, std::chrono::seconds limit) {
    if (!remote_) {
        remote_ = std::make_unique<Remote>(bus_);
    }
    // Both dialogs are centred on the 1920×1080 monitor with Cancel at the left of their title
    // bar and Share at its right. The screen dialog's Share turns usable once its one monitor row
    // is picked, so a click that comes too early does nothing. The remote-desktop dialog has its
    // monitor picked already: its remote-interaction switch has to be on before Share, so where
    // the caller can see the dialog, the clicks wait for it. A dialog that came up behind the
    // focus takes its first click as the focus alone, so each round clicks its title first, as a
    // user does; clicks before the dialog is up are lost, so they are given again until the answer
    // arrives.
    using Point = std::pair<double, double>;
    constexpr Point kCancel{750, 412};
    constexpr Point kShare{1172, 412};
    constexpr Point kMonitorRow{960, 566};
    constexpr Point kInteractionSwitch{1148, 612};
    constexpr Point kTitle{960, 412};
    const std::vector<Point> clicks = !allow ? std::vector{kCancel}
                                      : dialog == Dialog::screen
                                          ? std::vector{kMonitorRow, kShare}
                                          : std::vector{kInteractionSwitch, kShare};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto wait = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        while (std::chrono::steady_clock::now() < wait) {
            if (answered()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (shown && !shown()) {
            continue;
        }
        remote_->click(kTitle.first, kTitle.second);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (const auto& [x, y] : clicks) {
            remote_->click(x, y);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    }
    return answered();
}

bool dialogShown(const std::function<std::array<int, 3>(int x, int y)>& pixel) {
    // The dialog's light body where the desktop is blue.
    const std::array<int, 3> centre = pixel(960, 540);
    return centre[0] > 200 && centre[1] > 200 && centre[2] > 200;
}

} // namespace zel::test
