// The portal's requests answer through a Response signal on a request object, so the session runs
// on a worker thread with a GLib main context of its own: it subscribes, calls, and turns the
// context until the answer (the user's, for Start, may take any time). The notifications are
// plain method calls and go out from the callers' threads on the same connection.
#include "platform/portal/portal_session.hpp"

#include "base/app_error.hpp"
#include "base/c_handle.hpp"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <pthread.h>
#include <stdexcept>
#include <unistd.h>

namespace zel::portal {
namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr int kCallLimitMs = 5000;
// Requests other than the user's answer are the portal's own work.
constexpr guint kRequestLimitMs = 15000;

constexpr std::uint32_t kKeyboard = 1;
constexpr std::uint32_t kPointer = 2;
constexpr std::uint32_t kMonitor = 1;
constexpr std::uint32_t kCursorEmbedded = 2;
constexpr std::uint32_t kPersistUntilRevoked = 2;

using ErrorPtr = CHandle<GError, g_error_free>;
using VariantPtr = CHandle<GVariant, g_variant_unref>;
using BuilderPtr = CHandle<GVariantBuilder, g_variant_builder_unref>;

[[noreturn]] void fail(const std::string& what, GError* error) {
    const ErrorPtr owned(error);
    throw std::runtime_error(what + (error != nullptr ? std::string(": ") + error->message : ""));
}

GDBusConnection* connectSessionBus() {
    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (address == nullptr) {
        fail("No session bus", error);
    }
    // A private connection: its signals reach the context of the thread that subscribes.
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_free(address);
    if (bus == nullptr) {
        fail("The session bus cannot be reached", error);
    }
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    return bus;
}

std::uint32_t portalVersion(GDBusConnection* bus, const char* interface) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, kPortal, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", interface, "version"), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE,
        kCallLimitMs, nullptr, &error);
    if (reply == nullptr) {
        fail(std::string("The session bus offers no ") + interface, error);
    }
    const VariantPtr owned(reply);
    GVariant* boxed = nullptr;
    g_variant_get(reply, "(v)", &boxed);
    const VariantPtr value(boxed);
    return g_variant_is_of_type(boxed, G_VARIANT_TYPE_UINT32) ? g_variant_get_uint32(boxed) : 0;
}

// One request and its Response: the caller's options get the handle token the request object's
// path is made of, and the answer is awaited with the context turning.
class Request {
public:
    Request(GDBusConnection* bus, GMainContext* context, const std::atomic<bool>& stopping)
        : bus_(bus), context_(context), stopping_(stopping) {}

    // Returns the results; throws AppError for a refusal and std::runtime_error otherwise.
    VariantPtr call(const char* interface, const char* method, const char* session,
                    GVariantBuilder* options, bool waitsForUser,
                    const char* refusal = "The desktop portal's request was cancelled.") {
        static std::atomic<unsigned> counter{0};
        const std::string token =
            "zel" + std::to_string(::getpid()) + "_" + std::to_string(counter.fetch_add(1));
        std::string sender = g_dbus_connection_get_unique_name(bus_) + 1;
        for (char& c : sender) {
            c = c == '.' ? '_' : c;
        }
        const std::string path = std::string(kPortalPath) + "/request/" + sender + "/" + token;
        g_variant_builder_add(options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
        // The answer is shared with the subscription: a late one may still be dispatched after
        // the unsubscription, once this request is gone.
        const guint subscription = g_dbus_connection_signal_subscribe(
            bus_, kPortal, "org.freedesktop.portal.Request", "Response", path.c_str(), nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, &Request::onResponse, new std::shared_ptr<Answer>(answer_),
            [](gpointer data) { delete static_cast<std::shared_ptr<Answer>*>(data); });
        // Start names a parent window first; ours stays empty, the app's window is not exported.
        GVariant* parameters = session == nullptr ? g_variant_new("(a{sv})", options)
                               : waitsForUser     ? g_variant_new("(osa{sv})", session, "", options)
                                                  : g_variant_new("(oa{sv})", session, options);
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            bus_, kPortal, kPortalPath, interface, method, parameters, G_VARIANT_TYPE("(o)"),
            G_DBUS_CALL_FLAGS_NONE, kCallLimitMs, nullptr, &error);
        if (reply == nullptr) {
            g_dbus_connection_signal_unsubscribe(bus_, subscription);
            fail(std::string("The desktop portal refused ") + method, error);
        }
        g_variant_unref(reply);
        GSource* limit = nullptr;
        if (!waitsForUser) {
            limit = g_timeout_source_new(kRequestLimitMs);
            g_source_set_callback(
                limit,
                [](gpointer data) -> gboolean {
                    static_cast<Request*>(data)->timedOut_ = true;
                    return G_SOURCE_REMOVE;
                },
                this, nullptr);
            g_source_attach(limit, context_);
        }
        while (!answer_->answered && !timedOut_ && !stopping_) {
            g_main_context_iteration(context_, TRUE);
        }
        if (limit != nullptr) {
            g_source_destroy(limit);
            g_source_unref(limit);
        }
        g_dbus_connection_signal_unsubscribe(bus_, subscription);
        if (stopping_) {
            throw std::runtime_error("The portal session was stopped.");
        }
        if (!answer_->answered) {
            throw std::runtime_error(std::string("The desktop portal did not answer ") + method +
                                     ".");
        }
        if (answer_->code == 1) {
            throw AppError(refusal);
        }
        if (answer_->code != 0) {
            throw std::runtime_error(std::string("The desktop portal failed ") + method + ".");
        }
        return std::move(answer_->results);
    }

private:
    struct Answer {
        bool answered = false;
        std::uint32_t code = 2;
        VariantPtr results;
    };

    static void onResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                           GVariant* parameters, gpointer data) {
        Answer& answer = **static_cast<std::shared_ptr<Answer>*>(data);
        if (answer.answered) {
            return;
        }
        GVariant* results = nullptr;
        g_variant_get(parameters, "(u@a{sv})", &answer.code, &results);
        answer.results.reset(results);
        answer.answered = true;
    }

    GDBusConnection* bus_;
    GMainContext* context_;
    const std::atomic<bool>& stopping_;
    std::shared_ptr<Answer> answer_ = std::make_shared<Answer>();
    bool timedOut_ = false;
};

// Owned, so that a refused or failed request does not leak it.
BuilderPtr options() {
    return BuilderPtr(g_variant_builder_new(G_VARIANT_TYPE_VARDICT));
}

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
        GDBusConnection* bus = connectSessionBus();
        try {
            portalVersion(bus, kRemoteDesktop);
            portalVersion(bus, kScreenCast);
        } catch (...) {
            g_object_unref(bus);
            throw;
        }
        g_object_unref(bus);
        return {};
    } catch (const std::exception& error) {
        return std::string(error.what()) + ".";
    }
}

std::string defaultStateDirectory() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && *state == '/') {
        return std::string(state) + "/zel-desktop-agent";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.local/state/zel-desktop-agent";
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
    const std::lock_guard guard(mutex_);
    ended_ = false;
    screen_ = {State::waiting, {}, {}, {}};
    control_ = {State::waiting, {}, {}, {}};
    worker_ = std::thread([this] { run(); });
    pthread_setname_np(worker_.native_handle(), "zel-portal");
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
    {
        const std::lock_guard guard(mutex_);
        status(part).state = state;
        status(part).error = std::move(error);
    }
    changed_.notify_all();
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
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
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
        bus = connectSessionBus();
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
                    // A refusal closes the session too; only a running one was ended.
                    if (self->state(which) == State::running) {
                        self->finish(which, State::failed,
                                     "The sharing was ended on the desktop; start the "
                                     "connection again.");
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
    if (bus != nullptr) {
        for (const guint subscription : subscriptions) {
            g_dbus_connection_signal_unsubscribe(bus, subscription);
        }
        for (const std::string& handle : handles) {
            GVariant* reply = g_dbus_connection_call_sync(
                bus, kPortal, handle.c_str(), "org.freedesktop.portal.Session", "Close", nullptr,
                nullptr, G_DBUS_CALL_FLAGS_NONE, kCallLimitMs, nullptr, nullptr);
            if (reply != nullptr) {
                g_variant_unref(reply);
            }
        }
        g_dbus_connection_flush_sync(bus, nullptr, nullptr);
        g_object_unref(bus);
    }
    // Pending sources (the subscriptions' data) go with the context.
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
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
    GVariant* streams = g_variant_lookup_value(results, "streams", G_VARIANT_TYPE("a(ua{sv})"));
    if (streams == nullptr || g_variant_n_children(streams) == 0) {
        if (streams != nullptr) {
            g_variant_unref(streams);
        }
        throw std::runtime_error("The desktop portal shares no monitor.");
    }
    SharedMonitor monitor;
    GVariant* properties = nullptr;
    g_variant_get_child(streams, 0, "(u@a{sv})", &monitor.node, &properties);
    g_variant_lookup(properties, "position", "(ii)", &monitor.x, &monitor.y);
    g_variant_lookup(properties, "size", "(ii)", &monitor.width, &monitor.height);
    g_variant_unref(properties);
    g_variant_unref(streams);
    return monitor;
}

std::uint32_t cursorModes(GDBusConnection* bus) {
    GVariant* reply = g_dbus_connection_call_sync(
        bus, kPortal, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", kScreenCast, "AvailableCursorModes"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, kCallLimitMs, nullptr, nullptr);
    if (reply == nullptr) {
        return 0;
    }
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    const std::uint32_t modes =
        g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32) ? g_variant_get_uint32(value) : 0;
    g_variant_unref(value);
    g_variant_unref(reply);
    return modes;
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
    if ((cursorModes(bus) & kCursorEmbedded) != 0) {
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
        std::error_code ignored;
        std::filesystem::create_directories(stateDirectory_, ignored);
        std::ofstream(tokenPath(), std::ios::trunc) << newToken << "\n";
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
    GDBusConnection* bus = nullptr;
    std::string handle;
    {
        const std::lock_guard guard(mutex_);
        if (screen_.state != State::running || bus_ == nullptr) {
            throw AppError(kScreenWaitingText);
        }
        bus = G_DBUS_CONNECTION(g_object_ref(bus_));
        handle = screen_.handle;
    }
    GUnixFDList* fds = nullptr;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        bus, kPortal, kPortalPath, kScreenCast, "OpenPipeWireRemote",
        g_variant_new("(oa{sv})", handle.c_str(), nullptr), G_VARIANT_TYPE("(h)"),
        G_DBUS_CALL_FLAGS_NONE, kCallLimitMs, nullptr, &fds, nullptr, &error);
    g_object_unref(bus);
    if (reply == nullptr) {
        fail("The desktop portal opened no PipeWire connection", error);
    }
    gint32 index = -1;
    g_variant_get(reply, "(h)", &index);
    g_variant_unref(reply);
    const int fd = fds != nullptr ? g_unix_fd_list_get(fds, index, &error) : -1;
    if (fds != nullptr) {
        g_object_unref(fds);
    }
    if (fd < 0) {
        fail("The desktop portal opened no PipeWire connection", error);
    }
    return fd;
}

void Session::notify(const char* method, GVariant* parameters) {
    GDBusConnection* bus = nullptr;
    g_variant_ref_sink(parameters);
    const VariantPtr owned(parameters);
    {
        const std::lock_guard guard(mutex_);
        if (control_.state != State::running || bus_ == nullptr) {
            throw AppError(control_.state == State::waiting ? kControlWaitingText : control_.error);
        }
        bus = G_DBUS_CONNECTION(g_object_ref(bus_));
    }
    // The session handle goes first in every notification.
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(bus, kPortal, kPortalPath, kRemoteDesktop, method, parameters,
                                    nullptr, G_DBUS_CALL_FLAGS_NONE, kCallLimitMs, nullptr, &error);
    g_object_unref(bus);
    if (reply == nullptr) {
        const ErrorPtr failed(error);
        throw AppError(std::string("The desktop portal refused an input event: ") + error->message);
    }
    g_variant_unref(reply);
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
