#include "platform/portal/portal_dbus.hpp"

#include "base/app_error.hpp"

#include <stdexcept>
#include <unistd.h>

namespace zel::portal {
namespace {

// Requests other than the user's answer are the portal's own work.
constexpr guint kRequestLimitMs = 15000;

// The variant inside a property's reply; null when it cannot be read.
VariantPtr property(GDBusConnection* bus, const char* interface, const char* name, GError** error) {
    const VariantPtr reply(g_dbus_connection_call_sync(
        bus, kPortal, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", interface, name), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE,
        kCallLimitMs, nullptr, error));
    if (!reply) {
        return nullptr;
    }
    GVariant* value = nullptr;
    g_variant_get(reply.get(), "(v)", &value);
    return VariantPtr(value);
}

std::uint32_t uintOf(const VariantPtr& value) {
    return value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_UINT32)
               ? g_variant_get_uint32(value.get())
               : 0;
}

} // namespace

void fail(const std::string& what, GError* error) {
    const ErrorPtr owned(error);
    throw std::runtime_error(what + (error != nullptr ? std::string(": ") + error->message : ""));
}

BusPtr connectSessionBus() {
    GError* error = nullptr;
    const StringPtr address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error));
    if (!address) {
        fail("No session bus", error);
    }
    BusPtr bus(g_dbus_connection_new_for_address_sync(
        address.get(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error));
    if (!bus) {
        fail("The session bus cannot be reached", error);
    }
    g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
    return bus;
}

std::uint32_t portalVersion(GDBusConnection* bus, const char* interface) {
    GError* error = nullptr;
    const VariantPtr value = property(bus, interface, "version", &error);
    if (!value) {
        fail(std::string("The session bus offers no ") + interface, error);
    }
    return uintOf(value);
}

std::uint32_t uintProperty(GDBusConnection* bus, const char* interface, const char* name) {
    return uintOf(property(bus, interface, name, nullptr));
}

BuilderPtr options() {
    return BuilderPtr(g_variant_builder_new(G_VARIANT_TYPE_VARDICT));
}

VariantPtr Request::call(const char* interface, const char* method, const char* session,
                         GVariantBuilder* options, bool waitsForUser, const char* refusal) {
    static std::atomic<unsigned> counter{0};
    const std::string token =
        "zel" + std::to_string(::getpid()) + "_" + std::to_string(counter.fetch_add(1));
    std::string sender = g_dbus_connection_get_unique_name(bus_) + 1;
    for (char& c : sender) {
        c = c == '.' ? '_' : c;
    }
    const std::string path = std::string(kPortalPath) + "/request/" + sender + "/" + token;
    g_variant_builder_add(options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    // The answer is shared with the subscription: a late one may still be dispatched after the
    // unsubscription, once this request is gone.
    const guint subscription = g_dbus_connection_signal_subscribe(
        bus_, kPortal, "org.freedesktop.portal.Request", "Response", path.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, &Request::onResponse, new std::shared_ptr<Answer>(answer_),
        [](gpointer data) { delete static_cast<std::shared_ptr<Answer>*>(data); });
    // Start names a parent window first; ours stays empty, the app's window is not exported.
    GVariant* parameters = session == nullptr ? g_variant_new("(a{sv})", options)
                           : waitsForUser     ? g_variant_new("(osa{sv})", session, "", options)
                                              : g_variant_new("(oa{sv})", session, options);
    GError* error = nullptr;
    if (const VariantPtr reply(g_dbus_connection_call_sync(
            bus_, kPortal, kPortalPath, interface, method, parameters, G_VARIANT_TYPE("(o)"),
            G_DBUS_CALL_FLAGS_NONE, kCallLimitMs, nullptr, &error));
        !reply) {
        g_dbus_connection_signal_unsubscribe(bus_, subscription);
        fail(std::string("The desktop portal refused ") + method, error);
    }
    SourcePtr limit;
    if (!waitsForUser) {
        limit.reset(g_timeout_source_new(kRequestLimitMs));
        g_source_set_callback(
            limit.get(),
            [](gpointer data) -> gboolean {
                static_cast<Request*>(data)->timedOut_ = true;
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
        g_source_attach(limit.get(), context_);
    }
    while (!answer_->answered && !timedOut_ && !stopping_) {
        g_main_context_iteration(context_, TRUE);
    }
    limit.reset();
    g_dbus_connection_signal_unsubscribe(bus_, subscription);
    if (stopping_) {
        throw std::runtime_error("The portal session was stopped.");
    }
    if (!answer_->answered) {
        throw std::runtime_error(std::string("The desktop portal did not answer ") + method + ".");
    }
    if (answer_->code == 1 && refusal != nullptr) {
        throw AppError(refusal);
    }
    if (answer_->code != 0) {
        throw std::runtime_error(std::string("The desktop portal failed ") + method + ".");
    }
    return std::move(answer_->results);
}

void Request::onResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
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

} // namespace zel::portal
