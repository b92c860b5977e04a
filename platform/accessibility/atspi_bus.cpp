#include "platform/accessibility/atspi_bus.hpp"

#include "base/app_error.hpp"
#include "base/c_handle.hpp"
#include "platform/glib_handles.hpp"

#include <chrono>
#include <gio/gio.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace zel::accessibility {
namespace {

constexpr const char* kBusName = "org.a11y.Bus";

glib::BusPtr connectSessionBus() {
    GError* error = nullptr;
    const glib::StringPtr address(
        g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error));
    check(error, "No D-Bus session bus, through which the accessibility bus is found");
    glib::BusPtr bus(g_dbus_connection_new_for_address_sync(
        address.get(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error));
    check(error, "The D-Bus session bus cannot be reached");
    g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
    return bus;
}

glib::VariantPtr busCall(GDBusConnection* bus, const char* method, GVariant* parameters,
                         GError** error, const char* name = "org.freedesktop.DBus",
                         const char* path = "/org/freedesktop/DBus",
                         const char* interface = "org.freedesktop.DBus") {
    return glib::VariantPtr(g_dbus_connection_call_sync(bus, name, path, interface, method,
                                                        parameters, nullptr, G_DBUS_CALL_FLAGS_NONE,
                                                        5000, nullptr, error));
}

bool hasOwner(GDBusConnection* bus) {
    GError* error = nullptr;
    const auto answer = busCall(bus, "NameHasOwner", g_variant_new("(s)", kBusName), &error);
    check(error, "The session bus does not answer");
    gboolean owned = FALSE;
    g_variant_get(answer.get(), "(b)", &owned);
    return owned != FALSE;
}

// Where Debian and other distributions put it.
void runBusLauncher() {
    for (const char* file :
         {"/usr/libexec/at-spi-bus-launcher", "/usr/lib/at-spi2-core/at-spi-bus-launcher",
          "/usr/lib/at-spi2/at-spi-bus-launcher", "/usr/lib/at-spi-bus-launcher"}) {
        if (::access(file, X_OK) != 0) {
            continue;
        }
        // Not our child to reap: GLib's spawn leaves it to the system, and it lives as long as
        // the session bus, as an activated one would.
        gchar* argv[] = {const_cast<gchar*>(file), const_cast<gchar*>("--launch-immediately"),
                         nullptr};
        GError* error = nullptr;
        g_spawn_async(nullptr, argv, nullptr, G_SPAWN_STDOUT_TO_DEV_NULL, nullptr, nullptr, nullptr,
                      &error);
        check(error, "at-spi-bus-launcher cannot be started");
        return;
    }
    throw AppError("The session has no accessibility bus (org.a11y.Bus) and at-spi-bus-launcher "
                   "is not installed (Debian: at-spi2-core).");
}

} // namespace

void check(GError* raw, const std::string& what) {
    const glib::ErrorPtr error(raw);
    if (error) {
        throw AppError(what + ": " + error->message);
    }
}

void startAccessibilityBus() {
    const glib::BusPtr bus = connectSessionBus();
    if (!hasOwner(bus.get())) {
        GError* error = nullptr;
        busCall(bus.get(), "StartServiceByName", g_variant_new("(su)", kBusName, 0U), &error);
        if (error != nullptr) {
            g_error_free(error);
            runBusLauncher();
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!hasOwner(bus.get())) {
            if (std::chrono::steady_clock::now() > until) {
                throw AppError("The accessibility bus (org.a11y.Bus) did not start within 5 s.");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    // Qt and Chromium expose their trees only while this says an assistive tool is on.
    GError* error = nullptr;
    busCall(bus.get(), "Set",
            g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)),
            &error, kBusName, "/org/a11y/bus", "org.freedesktop.DBus.Properties");
    check(error, "The accessibility bus cannot be enabled");
}

} // namespace zel::accessibility
