// The control service's routes: the secret check, "/input", "/tiles" (changed regions as JPEG
// tiles, a long poll), "/accessibility" (the tree and actions on its elements) and everything else
// as a screenshot, and the error texts of each.
#pragma once

#include "control_service/service_context.hpp"

#include <cstdint>
#include <memory>
#include <span>

namespace zel::control {

class Connection;

// Answers one request read whole through the connection, exactly once. Captures and inputs run
// on their pools, so the answer may come from another thread after this returns.
void routeRequest(std::span<const std::uint8_t> bytes,
                  const std::shared_ptr<Connection>& connection, ServiceContext& service);

} // namespace zel::control
