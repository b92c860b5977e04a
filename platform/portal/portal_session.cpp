// The portal's requests answer through a Response signal on a request object, so the session runs
// on a worker thread with a GLib main context of its own: it subscribes, calls, and turns the
// context until the answer (the user's, for Start, may take any time). The notifications are
// plain method calls and go out from the callers' threads on the same connection.
#include "platform/portal/portal_session.hpp"

#include "base/agent_log.hpp"
#include "base/app_error.hpp"
#include "base/private_files.hpp"
#include "platform/portal/portal_dbus.hpp"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <pthread.h>
#include <stdexcept>

namespace zel::portal {
namespace {

constexpr std::uint32_t kKeyboard = 1;
constexpr std::uint32_t kPointer = 2;
constexpr std::uint32_t kMonitor = 1;
constexpr std::uint32_t kCursorEmbedded = 2;
constexpr std::uint32_t kPersistUntilRevoked = 2;

// The sources of a session: one monitor.
BuilderPtr monitorSource() {
    BuilderPtr sources = options();
    g_variant_builder_add(sources.get(), "{sv}", "types", g_variant_new_uint32(kMonitor));
    g_variant_builder_add(sources.get(), "{sv}", "multiple", g_variant_new_boolean(FALSE));
    return sources;
}

} // namespace

std::string unavailableReason() {
    try {
        const BusPtr bus = connectSessionBus();
        portalVersion(bus.get(), kRemoteDesktop);
        portalVersion(bus.get(), kScreenCast);
        return {};
    } catch (const std::exception& error) {
        return std::string(error.what()) + ".";
    }
}

std::string defaultStateDirectory() {
    return appStateDirectory().string();
}

Session::Session(std::string stateDirectory) : stateDirectory_(std::move(stateDirectory)) {}

Session::~Session() {
    stopWorker();
}

std::string Session::tokenPath() const {
    return stateDirectory_ + "/screencast-restore-token";
}

void Session::stopWorker() {
    std::thread worker;
    {
        const std::lock_guard guard(mutex_);
        stopping_ = true;
        if (context_ != nullptr) {
            g_main_context_wakeup(context_);
        }
        worker = std::move(worker_);
    }
    if (worker.joinable()) {
        worker.join();
    }
    stopping_ = false;
}

void Session::begin(bool again) {
    {
        const std::lock_guard guard(mutex_);
        const auto settled = [](const Status& part) {
            return part.state == State::waiting || part.state == State::running;
        };
        // A refusal or a failure is asked about again only at a new connection start, as is
        // everything after an end.
        const bool fresh = !ended_ && screen_.state == State::idle && control_.state == State::idle;
        if (!fresh && (!again || (!ended_ && settled(screen_) && settled(control_)))) {
            return;
        }
    }
    stopWorker();
    {
        const std::lock_guard guard(mutex_);
        ended_ = false;
        screen_ = {State::waiting, {}, {}, {}};
        control_ = {State::waiting, {}, {}, {}};
        worker_ = std::thread([this] { run(); });
        pthread_setname_np(worker_.native_handle(), "zel-portal");
    }
    tell();
}

void Session::end() {
    const std::lock_guard guard(mutex_);
    ended_ = true;
    stopping_ = true;
    if (context_ != nullptr) {
        g_main_context_wakeup(context_);
    }
}

SharedMonitor Session::require(Part part, std::chrono::milliseconds limit) {
    begin();
    std::unique_lock guard(mutex_);
    changed_.wait_for(guard, limit, [&] { return status(part).state != State::waiting; });
    const bool screen = part == Part::screen;
    switch (status(part).state) {
    case State::running:
        return status(part).monitor;
    case State::waiting:
    case State::idle:
        throw AppError(screen ? kScreenWaitingText : kControlWaitingText);
    case State::refused:
        // Control follows a refused screen, with its text.
        throw AppError(status(part).error.empty()
                           ? std::string(screen ? kScreenRefusedText : kControlRefusedText)
                           : status(part).error);
    case State::failed:
        break;
    }
    throw AppError(status(part).error);
}

Session::State Session::state(Part part) const {
    const std::lock_guard guard(mutex_);
    return status(part).state;
}

void Session::finish(Part part, State state, std::string error) {
    if (stopping_) {
        // A stop ends the requests under way: that is no failure of the desktop's.
        return;
    }
    if (state == State::failed) {
        appendLog("Desktop portal: " + error + "\n");
        error = kPortalFailedText;
    }
    {
        const std::lock_guard guard(mutex_);
        status(part).state = state;
        status(part).error = std::move(error);
    }
    changed_.notify_all();
    tell();
}

void Session::setListener(std::function<void(const std::string& problem)> listener) {
    const std::lock_guard guard(listenerMutex_);
    listener_ = std::move(listener);
}

void Session::tell() {
    std::string problem;
    {
        const std::lock_guard guard(mutex_);
        for (const Status* part : {&screen_, &control_}) {
            if (part->state == State::refused || part->state == State::failed) {
                problem = part->error;
                break;
            }
        }
    }
    const std::lock_guard guard(listenerMutex_);
    if (listener_) {
        listener_(problem);
    }
}

namespace {

// Runs one part's steps; the outcome goes to the part's status.
template <typename Steps>
void settle(Session::Part part, Steps&& steps,
            const std::function<void(Session::Part, Session::State, std::string)>& finish) {
    try {
        steps();
        finish(part, Session::State::running, {});
    } catch (const AppError& refused) {
        finish(part, Session::State::refused, refused.what());
    } catch (const std::exception& error) {
        finish(part, Session::State::failed, error.what());
    }
}

} // namespace

void Session::run() {
    const ContextPtr owned(g_main_context_new());
    GMainContext* context = owned.get();
    g_main_context_push_thread_default(context);
    BusPtr owner;
    GDBusConnection* bus = nullptr;
    std::vector<guint> subscriptions;
    const auto finisher = [this](Part part, State state, std::string error) {
        finish(part, state, std::move(error));
    };
    {
        // Set first: a stop wakes this context, whatever happens below.
        const std::lock_guard guard(mutex_);
        context_ = context;
    }
    try {
        owner = connectSessionBus();
        bus = owner.get();
        const std::lock_guard guard(mutex_);
        bus_ = bus;
    } catch (const std::exception& error) {
        finish(Part::screen, State::failed, error.what());
        finish(Part::control, State::failed, error.what());
    }
    if (bus != nullptr) {
        settle(
            Part::screen, [&] { shareScreen(bus, context); }, finisher);
        if (state(Part::screen) == State::running) {
            settle(
                Part::control, [&] { allowControl(bus, context); }, finisher);
        } else {
            // Control without the screen would be blind.
            const std::lock_guard guard(mutex_);
            control_.state = screen_.state;
            control_.error = screen_.error;
        }
        changed_.notify_all();
        tell();
        // The desktop may end either (its indicator's stop button): requests then say so.
        for (const Part part : {Part::screen, Part::control}) {
            std::string handle;
            {
                const std::lock_guard guard(mutex_);
                handle = status(part).handle;
            }
            if (handle.empty()) {
                continue;
            }
            auto* closed = new std::pair<Session*, Part>(this, part);
            subscriptions.push_back(g_dbus_connection_signal_subscribe(
                bus, kPortal, "org.freedesktop.portal.Session", "Closed", handle.c_str(), nullptr,
                G_DBUS_SIGNAL_FLAGS_NONE,
                [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                   GVariant*, gpointer data) {
                    const auto& [self, which] = *static_cast<std::pair<Session*, Part>*>(data);
                    // A refusal closes the session too; only a running one was ended, as the
                    // user's choice (its indicator's stop button), asked about again at a start.
                    if (self->state(which) == State::running) {
                        appendLog("Desktop portal: the sharing was ended on the desktop.\n");
                        self->finish(which, State::refused, kSharingEndedText);
                    }
                },
                closed,
                [](gpointer data) { delete static_cast<std::pair<Session*, Part>*>(data); }));
        }
    }
    while (!stopping_) {
        g_main_context_iteration(context, TRUE);
    }
    std::vector<std::string> handles;
    {
        const std::lock_guard guard(mutex_);
        for (Status* part : {&screen_, &control_}) {
            if (!part->handle.empty()) {
                handles.push_back(part->handle);
            }
            part->handle.clear();
            if (part->state == State::running || part->state == State::waiting) {
                part->state = State::idle;
            }
        }
        bus_ = nullptr;
        context_ = nullptr;
    }
    changed_.notify_all();
    if (bus != nullptr) {
        for (const guint subscription : subscriptions) {
            g_dbus_connection_signal_unsubscribe(bus, subscription);
        }
        for (const std::string& handle : handles) {
            const VariantPtr closed(g_dbus_connection_call_sync(
                bus, kPortal, handle.c_str(), "org.freedesktop.portal.Session", "Close", nullptr,
                nullptr, G_DBUS_CALL_FLAGS_NONE, kCallLimitMs, nullptr, nullptr));
        }
        g_dbus_connection_flush_sync(bus, nullptr, nullptr);
        owner.reset();
    }
    // Pending sources (the subscriptions' data) go with the context.
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
}

namespace {

std::string createSession(GDBusConnection* bus, GMainContext* context,
                          const std::atomic<bool>& stopping, const char* interface) {
    const BuilderPtr create = options();
    // Each session's object path is made of its token: one per kind.
    const std::string token =
        std::string("zel_") + (std::strcmp(interface, kScreenCast) == 0 ? "screen" : "control");
    g_variant_builder_add(create.get(), "{sv}", "session_handle_token",
                          g_variant_new_string(token.c_str()));
    const VariantPtr created = Request(bus, context, stopping)
                                   .call(interface, "CreateSession", nullptr, create.get(), false);
    const gchar* handle = nullptr;
    if (!g_variant_lookup(created.get(), "session_handle", "&s", &handle)) {
        throw std::runtime_error("The desktop portal made no session.");
    }
    return handle;
}

// The first stream of a Start's results: the monitor the user picked.
SharedMonitor firstStream(GVariant* results) {
    const VariantPtr streams(
        g_variant_lookup_value(results, "streams", G_VARIANT_TYPE("a(ua{sv})")));
    if (!streams || g_variant_n_children(streams.get()) == 0) {
        throw std::runtime_error("The desktop portal shares no monitor.");
    }
    SharedMonitor monitor;
    GVariant* properties = nullptr;
    g_variant_get_child(streams.get(), 0, "(u@a{sv})", &monitor.node, &properties);
    const VariantPtr owned(properties);
    g_variant_lookup(properties, "position", "(ii)", &monitor.x, &monitor.y);
    g_variant_lookup(properties, "size", "(ii)", &monitor.width, &monitor.height);
    return monitor;
}

} // namespace

void Session::shareScreen(GDBusConnection* bus, GMainContext* context) {
    const std::string handle = createSession(bus, context, stopping_, kScreenCast);
    {
        const std::lock_guard guard(mutex_);
        screen_.handle = handle;
    }
    std::string restoreToken;
    std::ifstream(tokenPath()) >> restoreToken;
    const BuilderPtr sources = monitorSource();
    if ((uintProperty(bus, kScreenCast, "AvailableCursorModes") & kCursorEmbedded) != 0) {
        g_variant_builder_add(sources.get(), "{sv}", "cursor_mode",
                              g_variant_new_uint32(kCursorEmbedded));
    }
    g_variant_builder_add(sources.get(), "{sv}", "persist_mode",
                          g_variant_new_uint32(kPersistUntilRevoked));
    if (!restoreToken.empty()) {
        g_variant_builder_add(sources.get(), "{sv}", "restore_token",
                              g_variant_new_string(restoreToken.c_str()));
    }
    Request(bus, context, stopping_)
        .call(kScreenCast, "SelectSources", handle.c_str(), sources.get(), false);

    const BuilderPtr start = options();
    const VariantPtr started =
        Request(bus, context, stopping_)
            .call(kScreenCast, "Start", handle.c_str(), start.get(), true, kScreenRefusedText);

    const gchar* newToken = nullptr;
    if (g_variant_lookup(started.get(), "restore_token", "&s", &newToken)) {
        // It shares the screen without a dialog: for the owner's eyes only.
        try {
            writePrivateFile(tokenPath(), std::string(newToken) + "\n");
        } catch (const std::exception& error) {
            appendLog(std::string("Screen sharing token not kept: ") + error.what() + "\n");
        }
    }
    const SharedMonitor monitor = firstStream(started.get());
    const std::lock_guard guard(mutex_);
    screen_.monitor = monitor;
}

void Session::allowControl(GDBusConnection* bus, GMainContext* context) {
    const std::string handle = createSession(bus, context, stopping_, kRemoteDesktop);
    {
        const std::lock_guard guard(mutex_);
        control_.handle = handle;
    }
    const BuilderPtr devices = options();
    g_variant_builder_add(devices.get(), "{sv}", "types",
                          g_variant_new_uint32(kKeyboard | kPointer));
    Request(bus, context, stopping_)
        .call(kRemoteDesktop, "SelectDevices", handle.c_str(), devices.get(), false);
    // A monitor of its own: absolute motion is placed on one of the session's streams.
    const BuilderPtr sources = monitorSource();
    Request(bus, context, stopping_)
        .call(kScreenCast, "SelectSources", handle.c_str(), sources.get(), false);
    const BuilderPtr start = options();
    const VariantPtr started =
        Request(bus, context, stopping_)
            .call(kRemoteDesktop, "Start", handle.c_str(), start.get(), true, kControlRefusedText);
    std::uint32_t granted = 0;
    g_variant_lookup(started.get(), "devices", "u", &granted);
    if ((granted & kPointer) == 0 || (granted & kKeyboard) == 0) {
        throw AppError(kControlRefusedText);
    }
    const SharedMonitor monitor = firstStream(started.get());
    const std::lock_guard guard(mutex_);
    control_.monitor = monitor;
}

int Session::openPipeWireRemote() {
    BusPtr bus;
    std::string handle;
    {
        const std::lock_guard guard(mutex_);
        if (screen_.state != State::running || bus_ == nullptr) {
            throw AppError(kScreenWaitingText);
        }
        bus.reset(G_DBUS_CONNECTION(g_object_ref(bus_)));
        handle = screen_.handle;
    }
    GUnixFDList* received = nullptr;
    GError* error = nullptr;
    const VariantPtr reply(g_dbus_connection_call_with_unix_fd_list_sync(
        bus.get(), kPortal, kPortalPath, kScreenCast, "OpenPipeWireRemote",
        g_variant_new("(oa{sv})", handle.c_str(), nullptr), G_VARIANT_TYPE("(h)"),
        G_DBUS_CALL_FLAGS_NONE, kCallLimitMs, nullptr, &received, nullptr, &error));
    const FdListPtr fds(received);
    bus.reset();
    if (!reply) {
        fail("The desktop portal opened no PipeWire connection", error);
    }
    gint32 index = -1;
    g_variant_get(reply.get(), "(h)", &index);
    const int fd = fds ? g_unix_fd_list_get(fds.get(), index, &error) : -1;
    if (fd < 0) {
        fail("The desktop portal opened no PipeWire connection", error);
    }
    return fd;
}

void Session::notify(const char* method, GVariant* parameters) {
    g_variant_ref_sink(parameters);
    const VariantPtr owned(parameters);
    BusPtr bus;
    {
        const std::lock_guard guard(mutex_);
        if (control_.state != State::running || bus_ == nullptr) {
            throw AppError(control_.state == State::waiting ? kControlWaitingText : control_.error);
        }
        bus.reset(G_DBUS_CONNECTION(g_object_ref(bus_)));
    }
    // The session handle goes first in every notification.
    GError* error = nullptr;
    const VariantPtr reply(g_dbus_connection_call_sync(
        bus.get(), kPortal, kPortalPath, kRemoteDesktop, method, parameters, nullptr,
        G_DBUS_CALL_FLAGS_NONE, kCallLimitMs, nullptr, &error));
    bus.reset();
    if (!reply) {
        const ErrorPtr failed(error);
        throw AppError(std::string("The desktop portal refused an input event: ") + error->message);
    }
}

std::string Session::controlHandle() const {
    const std::lock_guard guard(mutex_);
    return control_.handle.empty() ? "/" : control_.handle;
}

void Session::pointerMotionAbsolute(double x, double y) {
    std::uint32_t stream = 0;
    {
        const std::lock_guard guard(mutex_);
        stream = control_.monitor.node;
    }
    notify("NotifyPointerMotionAbsolute",
           g_variant_new("(oa{sv}udd)", controlHandle().c_str(), nullptr, stream, x, y));
}

void Session::pointerButton(std::int32_t evdevButton, bool pressed) {
    notify("NotifyPointerButton", g_variant_new("(oa{sv}iu)", controlHandle().c_str(), nullptr,
                                                evdevButton, pressed ? 1U : 0U));
}

void Session::pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) {
    notify("NotifyPointerAxisDiscrete",
           g_variant_new("(oa{sv}ui)", controlHandle().c_str(), nullptr, axis, steps));
}

void Session::keyboardKeysym(std::uint32_t keysym, bool pressed) {
    notify("NotifyKeyboardKeysym",
           g_variant_new("(oa{sv}iu)", controlHandle().c_str(), nullptr,
                         static_cast<std::int32_t>(keysym), pressed ? 1U : 0U));
}

} // namespace zel::portal
