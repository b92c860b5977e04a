// The D-Bus side of the portal: the session bus, its properties, and requests, which answer
// through a Response signal on a request object rather than with the call's reply.
#pragma once

#include "platform/portal/portal_handles.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace zel::portal {

inline constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
inline constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
inline constexpr const char* kRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";
inline constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
inline constexpr int kCallLimitMs = 5000;

// Throws std::runtime_error with `what` and the error's message; takes the error.
[[noreturn]] void fail(const std::string& what, GError* error);

// A private connection to the session bus: its signals reach the context of the thread that
// subscribes. Throws std::runtime_error.
BusPtr connectSessionBus();

// The interface's version property; throws std::runtime_error when the bus does not offer it.
std::uint32_t portalVersion(GDBusConnection* bus, const char* interface);

// A uint32 property of the interface, 0 when it cannot be read.
std::uint32_t uintProperty(GDBusConnection* bus, const char* interface, const char* name);

// An empty vardict builder, owned so that a refused or failed request does not leak it.
BuilderPtr options();

// One request and its Response: the caller's options get the handle token the request object's
// path is made of, and the answer is awaited with the context turning.
class Request {
public:
    Request(GDBusConnection* bus, GMainContext* context, const std::atomic<bool>& stopping)
        : bus_(bus), context_(context), stopping_(stopping) {}

    // Returns the results; throws AppError with `refusal` where the user said no (a request
    // without one was not the user's to refuse) and std::runtime_error otherwise.
    // `session` goes first in the parameters where given; a request that waits for the user
    // (Start) has no time limit and names a parent window after it.
    VariantPtr call(const char* interface, const char* method, const char* session,
                    GVariantBuilder* options, bool waitsForUser, const char* refusal = nullptr);

private:
    struct Answer {
        bool answered = false;
        std::uint32_t code = 2;
        VariantPtr results;
    };

    static void onResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                           GVariant* parameters, gpointer data);

    GDBusConnection* bus_;
    GMainContext* context_;
    const std::atomic<bool>& stopping_;
    std::shared_ptr<Answer> answer_ = std::make_shared<Answer>();
    bool timedOut_ = false;
};

} // namespace zel::portal
