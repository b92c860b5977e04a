#include "platform/wayland/toplevel_windows.hpp"

#include "base/app_error.hpp"
#include "platform/wayland/wayland_connection.hpp"
#include "platform/wayland/wayland_handles.hpp"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zel::wayland {
namespace {

// How long focus() waits for the compositor to report the window active.
constexpr std::chrono::seconds kFocusWait{1};

class ToplevelWindows;

struct Toplevel {
    ToplevelWindows* owner = nullptr;
    zwlr_foreign_toplevel_handle_v1* handle = nullptr;
    std::string id;
    std::string title;
    std::string appId;
    bool activated = false;
    bool minimized = false;
    // Listed only after the first done, when title and state have arrived together.
    bool described = false;
};

class ToplevelWindows final : public DesktopWindows {
public:
    ToplevelWindows(const std::string& socket, std::string_view ownAppId);
    ToplevelWindows(const ToplevelWindows&) = delete;
    ToplevelWindows& operator=(const ToplevelWindows&) = delete;
    ~ToplevelWindows() override;

    [[nodiscard]] bool offered() const { return manager_ != nullptr; }
    std::vector<DesktopWindow> list() override;
    bool focus(const DesktopWindow& window) override;

    // Listener callbacks, called with mutex_ held by the reading thread.
    void addGlobal(std::uint32_t name, const char* interface, std::uint32_t version);
    void added(zwlr_foreign_toplevel_handle_v1* handle);
    void closed(Toplevel& toplevel);
    void finished();

private:
    void run();
    // Stops the reader and lets go of the compositor's objects and the connection.
    void release();
    // Waits until the compositor has handled every request sent so far.
    void roundtrip();
    void checkUsable() const;
    Toplevel* find(const std::string& id);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::string socket_;
    std::string ownAppId_;
    DisplayPtr display_;
    Proxy<wl_registry> registry_;
    Proxy<wl_seat> seat_;
    zwlr_foreign_toplevel_manager_v1* manager_ = nullptr;
    // Pointers, as each is its handle's listener data.
    std::vector<std::unique_ptr<Toplevel>> toplevels_;
    std::uint64_t nextId_ = 1;
    bool broken_ = false;
    int wake_ = -1;
    std::thread reader_;
};

Toplevel& toplevel(void* data) {
    return *static_cast<Toplevel*>(data);
}

const wl_registry_listener kRegistryListener = {
    .global =
        [](void* data, wl_registry*, std::uint32_t name, const char* interface,
           std::uint32_t version) {
            static_cast<ToplevelWindows*>(data)->addGlobal(name, interface, version);
        },
    .global_remove = [](void*, wl_registry*, std::uint32_t) {},
};

const zwlr_foreign_toplevel_handle_v1_listener kHandleListener = {
    .title = [](void* data, zwlr_foreign_toplevel_handle_v1*,
                const char* title) { toplevel(data).title = title != nullptr ? title : ""; },
    .app_id = [](void* data, zwlr_foreign_toplevel_handle_v1*,
                 const char* appId) { toplevel(data).appId = appId != nullptr ? appId : ""; },
    .output_enter = [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {},
    .output_leave = [](void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {},
    .state =
        [](void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
            Toplevel& window = toplevel(data);
            window.activated = false;
            window.minimized = false;
            const auto* state = static_cast<const std::uint32_t*>(states->data);
            for (std::size_t i = 0; i < states->size / sizeof *state; ++i) {
                window.activated =
                    window.activated || state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED;
                window.minimized =
                    window.minimized || state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_MINIMIZED;
            }
        },
    .done = [](void* data, zwlr_foreign_toplevel_handle_v1*) { toplevel(data).described = true; },
    .closed =
        [](void* data, zwlr_foreign_toplevel_handle_v1*) {
            Toplevel& window = toplevel(data);
            window.owner->closed(window);
        },
    .parent = [](void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {},
};

const zwlr_foreign_toplevel_manager_v1_listener kManagerListener = {
    .toplevel =
        [](void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
            static_cast<ToplevelWindows*>(data)->added(handle);
        },
    .finished =
        [](void* data, zwlr_foreign_toplevel_manager_v1*) {
            static_cast<ToplevelWindows*>(data)->finished();
        },
};

ToplevelWindows::ToplevelWindows(const std::string& socket, std::string_view ownAppId)
    : socket_(socketName(socket)), ownAppId_(ownAppId) {
    display_.reset(wl_display_connect(socket_.c_str()));
    if (!display_) {
        throw std::runtime_error("Cannot connect to the Wayland compositor at " + socket_ + ".");
    }
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        throw std::runtime_error("Cannot create an eventfd.");
    }
    {
        const std::lock_guard lock(mutex_);
        registry_.reset(wl_display_get_registry(display_.get()));
        wl_registry_add_listener(registry_.get(), &kRegistryListener, this);
    }
    reader_ = std::thread([this] { run(); });
    try {
        // The first brings the globals; binding the manager announces every window, and the
        // second waits for those announcements.
        roundtrip();
        roundtrip();
    } catch (...) {
        release();
        throw;
    }
}

ToplevelWindows::~ToplevelWindows() {
    release();
}

void ToplevelWindows::release() {
    if (reader_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
        reader_.join();
    }
    for (const auto& window : toplevels_) {
        zwlr_foreign_toplevel_handle_v1_destroy(window->handle);
    }
    toplevels_.clear();
    if (manager_ != nullptr) {
        zwlr_foreign_toplevel_manager_v1_stop(manager_);
        zwlr_foreign_toplevel_manager_v1_destroy(manager_);
        manager_ = nullptr;
    }
    seat_.reset();
    registry_.reset();
    if (display_ && !broken_) {
        wl_display_flush(display_.get());
    }
    display_.reset();
    if (wake_ >= 0) {
        ::close(wake_);
        wake_ = -1;
    }
}

void ToplevelWindows::addGlobal(std::uint32_t name, const char* interface, std::uint32_t version) {
    const std::string_view kind(interface);
    if (kind == zwlr_foreign_toplevel_manager_v1_interface.name && manager_ == nullptr) {
        manager_ = static_cast<zwlr_foreign_toplevel_manager_v1*>(
            wl_registry_bind(registry_.get(), name, &zwlr_foreign_toplevel_manager_v1_interface,
                             std::min(version, 3U)));
        zwlr_foreign_toplevel_manager_v1_add_listener(manager_, &kManagerListener, this);
    } else if (kind == wl_seat_interface.name && !seat_) {
        seat_.reset(
            static_cast<wl_seat*>(wl_registry_bind(registry_.get(), name, &wl_seat_interface, 1)));
    }
}

void ToplevelWindows::added(zwlr_foreign_toplevel_handle_v1* handle) {
    auto window = std::make_unique<Toplevel>();
    window->owner = this;
    window->handle = handle;
    window->id = std::to_string(nextId_++);
    zwlr_foreign_toplevel_handle_v1_add_listener(handle, &kHandleListener, window.get());
    toplevels_.push_back(std::move(window));
}

void ToplevelWindows::closed(Toplevel& window) {
    zwlr_foreign_toplevel_handle_v1_destroy(window.handle);
    std::erase_if(toplevels_, [&](const auto& each) { return each.get() == &window; });
}

void ToplevelWindows::finished() {
    // The compositor stopped telling; its last list would silently go stale.
    zwlr_foreign_toplevel_manager_v1_destroy(manager_);
    manager_ = nullptr;
    broken_ = true;
}

void ToplevelWindows::run() {
    wl_display* display = display_.get();
    bool ok = true;
    while (ok) {
        {
            const std::lock_guard lock(mutex_);
            ok = wl_display_dispatch_pending(display) >= 0;
            while (ok && wl_display_prepare_read(display) != 0) {
                ok = wl_display_dispatch_pending(display) >= 0;
            }
            // A full socket keeps the rest for the next request's flush.
            ok = ok && (wl_display_flush(display) >= 0 || errno == EAGAIN);
        }
        changed_.notify_all();
        if (!ok) {
            break;
        }
        std::array<pollfd, 2> fds{{{wl_display_get_fd(display), POLLIN, 0}, {wake_, POLLIN, 0}}};
        const int ready = ::poll(fds.data(), fds.size(), -1);
        if (fds[1].revents != 0) {
            wl_display_cancel_read(display);
            return;
        }
        if (ready > 0) {
            ok = wl_display_read_events(display) >= 0;
        } else {
            wl_display_cancel_read(display);
            ok = ready == 0 || errno == EINTR;
        }
    }
    {
        const std::lock_guard lock(mutex_);
        broken_ = true;
    }
    changed_.notify_all();
}

void ToplevelWindows::roundtrip() {
    std::unique_lock lock(mutex_);
    checkUsable();
    bool answered = false;
    const Proxy<wl_callback> callback(wl_display_sync(display_.get()));
    static const wl_callback_listener kListener = {
        .done = [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; },
    };
    wl_callback_add_listener(callback.get(), &kListener, &answered);
    wl_display_flush(display_.get());
    if (!changed_.wait_for(lock, kAnswerLimit, [&] { return answered || broken_; })) {
        broken_ = true;
    }
    checkUsable();
}

void ToplevelWindows::checkUsable() const {
    if (broken_) {
        throw AppError("The Wayland compositor at " + socket_ + " no longer tells its windows.");
    }
}

Toplevel* ToplevelWindows::find(const std::string& id) {
    const auto it = std::find_if(toplevels_.begin(), toplevels_.end(),
                                 [&](const auto& window) { return window->id == id; });
    return it != toplevels_.end() && (*it)->described ? it->get() : nullptr;
}

std::vector<DesktopWindow> ToplevelWindows::list() {
    const std::lock_guard lock(mutex_);
    checkUsable();
    std::vector<DesktopWindow> windows;
    for (const auto& toplevel : toplevels_) {
        if (!toplevel->described) {
            continue;
        }
        DesktopWindow window;
        window.id = toplevel->id;
        window.title = toplevel->title;
        window.application = toplevel->appId;
        window.focused = toplevel->activated;
        window.minimized = toplevel->minimized;
        window.own = toplevel->appId == ownAppId_;
        windows.push_back(std::move(window));
    }
    // The active one is on top; the protocol tells no other stacking.
    std::stable_sort(windows.begin(), windows.end(),
                     [](const auto& a, const auto& b) { return a.focused && !b.focused; });
    return windows;
}

bool ToplevelWindows::focus(const DesktopWindow& window) {
    std::unique_lock lock(mutex_);
    checkUsable();
    Toplevel* toplevel = find(window.id);
    if (toplevel == nullptr) {
        throw AppError("No window " + window.id + " on the desktop.");
    }
    if (toplevel->appId == ownAppId_) {
        throw AppError(std::string(kOwnWindowFocusMessage));
    }
    if (!seat_) {
        throw AppError("The Wayland compositor at " + socket_ + " has no seat to focus on.");
    }
    if (toplevel->minimized) {
        zwlr_foreign_toplevel_handle_v1_unset_minimized(toplevel->handle);
    }
    zwlr_foreign_toplevel_handle_v1_activate(toplevel->handle, seat_.get());
    if (wl_display_flush(display_.get()) < 0 && errno != EAGAIN) {
        broken_ = true;
        checkUsable();
    }
    changed_.wait_for(lock, kFocusWait, [&] {
        const Toplevel* now = find(window.id);
        return broken_ || now == nullptr || now->activated;
    });
    const Toplevel* now = find(window.id);
    return !broken_ && now != nullptr && now->activated;
}

} // namespace

std::shared_ptr<DesktopWindows> makeForeignToplevelWindows(const std::string& socket,
                                                           std::string_view ownAppId) {
    try {
        auto windows = std::make_shared<ToplevelWindows>(socket, ownAppId);
        return windows->offered() ? windows : nullptr;
    } catch (const std::exception&) {
        return nullptr;
    }
}

} // namespace zel::wayland
