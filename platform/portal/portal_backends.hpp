// The capture, input and change-source backends over the desktop portal, for GNOME, KDE and other
// Wayland desktops without the wlroots protocols. They share one portal session, asked for at their
// first use (or at a connection start) and kept while the app runs; capture and change tracking
// share its PipeWire stream.
#pragma once

#include "capture/capture_backend.hpp"
#include "capture/change_source.hpp"
#include "input/input_backend.hpp"
#include "platform/portal/portal_session.hpp"

#include <memory>

namespace zel::portal {

struct Backends {
    std::unique_ptr<CaptureBackend> capture;
    std::unique_ptr<InputBackend> input;
    std::unique_ptr<ChangeSource> changes;
};

Backends makeBackends(const std::shared_ptr<Session>& session);

} // namespace zel::portal
