// GET /settle: answered once the screen has stopped changing, with the boxes of what changed.
#pragma once

#include "control_service/http_codec.hpp"
#include "control_service/service_context.hpp"

#include <memory>

namespace zel::control {

class Connection;

void settleRoute(const LocalHTTPRequest& request, const std::shared_ptr<Connection>& connection,
                 ServiceContext& service);

} // namespace zel::control
