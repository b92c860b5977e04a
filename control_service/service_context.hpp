// What every part of a running control service shares: its configuration, the network context
// and the two pools that blocking work runs on. Internal to the control service.
#pragma once

#include "control_service/control_service.hpp"
#include "control_service/folded_log.hpp"

#include <asio.hpp>
#include <atomic>
#include <cstddef>

namespace zel::control {

class IdlePeers;

struct ServiceContext {
    const ControlServiceConfig& config;
    asio::io_context& io;
    // Captures and inputs block: each has a pool of its own, so that neither holds the threads
    // that accept and read, and slow input never stalls a screenshot.
    asio::thread_pool& capturePool;
    asio::thread_pool& inputPool;
    FoldedLog& errorLog;
    // Connections open now; a connection counts itself out when it goes.
    std::atomic<std::size_t>& openConnections;
    // The open ones that have sent nothing yet.
    IdlePeers& idlePeers;
};

} // namespace zel::control
