// The capture and input backends over the desktop portal, for GNOME, KDE and other Wayland
// desktops without the wlroots protocols. Both share one portal session, asked for at their first
// use (or at a connection start) and kept while the app runs.
#pragma once

#include "capture/capture_backend.hpp"
#include "input/input_backend.hpp"
#include "platform/portal/portal_session.hpp"

#include <memory>

namespace zel::portal {

std::unique_ptr<CaptureBackend> makeCaptureBackend(std::shared_ptr<Session> session);
std::unique_ptr<InputBackend> makeInputBackend(std::shared_ptr<Session> session);

} // namespace zel::portal
