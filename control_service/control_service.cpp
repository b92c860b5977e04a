// The running service: the network threads over one context, the two work pools, the acceptor.
// Network work runs under strands; captures and inputs block and run on their pools.
#include "control_service/control_service.hpp"

#include "base/agent_log.hpp"
#include "base/app_error.hpp"
#include "control_service/acceptor.hpp"
#include "control_service/connection.hpp"

#include <algorithm>
#include <string>
#include <thread>

namespace zel {

class ControlService::Runtime {
public:
    explicit Runtime(ControlServiceConfig configuration)
        : config_(std::move(configuration)),
          capturePool_(std::max<std::size_t>(1, config_.captureThreads)),
          inputPool_(std::max<std::size_t>(1, config_.inputThreads)) {
        // Loopback only, a departure from listening on every address: the agent server on this
        // machine is the one client. IPv4 first, so that port 0 picks the port both share.
        using asio::ip::tcp;
        acceptors_.push_back(std::make_unique<control::Acceptor>(
            io_, tcp::endpoint(asio::ip::address_v4::loopback(), config_.port), config_.acceptPause,
            [this](tcp::socket socket) { admit(std::move(socket)); }));
        try {
            acceptors_.push_back(std::make_unique<control::Acceptor>(
                io_, tcp::endpoint(asio::ip::address_v6::loopback(), acceptors_.front()->port()),
                config_.acceptPause, [this](tcp::socket socket) { admit(std::move(socket)); }));
        } catch (const std::system_error& error) {
            // No IPv6 here: 127.0.0.1 alone serves. A taken ::1 port is a real conflict.
            if (error.code() != asio::error::address_family_not_supported &&
                error.code() != std::errc::address_not_available) {
                throw;
            }
        }
        for (const auto& acceptor : acceptors_) {
            acceptor->start();
        }
        const auto count = std::max<std::size_t>(1, config_.networkThreads);
        for (std::size_t i = 0; i < count; ++i) {
            networkThreads_.emplace_back([this] { io_.run(); });
        }
    }

    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    ~Runtime() {
        work_.reset();
        io_.stop();
        for (auto& thread : networkThreads_) {
            thread.join();
        }
        // Running captures and inputs finish (their answers go nowhere); queued ones are dropped.
        capturePool_.stop();
        inputPool_.stop();
        capturePool_.join();
        inputPool_.join();
        for (const auto& acceptor : acceptors_) {
            acceptor->close();
        }
    }

    [[nodiscard]] std::uint16_t port() const { return acceptors_.front()->port(); }
    void cancel() {
        for (const auto& acceptor : acceptors_) {
            acceptor->cancel();
        }
    }

private:
    void admit(asio::ip::tcp::socket socket) {
        // Over the cap the longest idle peer makes room (counted out once its strand has closed
        // it); with none, the newcomer is closed at once, unanswered and unlogged.
        if (++openConnections_ > config_.maxConnections && !idlePeers_.evictOldest()) {
            --openConnections_;
            asio::error_code ignored;
            socket.close(ignored);
            return;
        }
        std::make_shared<control::Connection>(std::move(socket), context_)->start();
    }

    const ControlServiceConfig config_;
    // Connections reach these until the last one goes, which may be when the context goes: they
    // come first so that they go last.
    control::FoldedLog errorLog_{[](std::string_view line) { appendLog(line); }};
    std::atomic<std::size_t> openConnections_{0};
    control::IdlePeers idlePeers_;
    control::ServiceContext context_{
        config_, io_, capturePool_, inputPool_, errorLog_, openConnections_, idlePeers_};
    // The pools come after the context, so that work still queued in them (holding connections
    // and so sockets of the context) is destroyed while the context lives.
    asio::io_context io_;
    asio::thread_pool capturePool_;
    asio::thread_pool inputPool_;
    asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
    std::vector<std::unique_ptr<control::Acceptor>> acceptors_;
    std::vector<std::thread> networkThreads_;
};

ControlService::ControlService(ControlServiceConfig config)
    : runtime_(std::make_unique<Runtime>(std::move(config))) {}

ControlService::~ControlService() = default;

std::uint16_t ControlService::port() const {
    return runtime_->port();
}

void ControlService::cancel() {
    runtime_->cancel();
}

std::shared_ptr<ControlService> startControlService(ControlServiceConfig config) {
    try {
        auto service = std::make_shared<ControlService>(std::move(config));
        appendLog("Screenshot service listening on 127.0.0.1:" + std::to_string(service->port()) +
                  "\n");
        return service;
    } catch (const std::exception& error) {
        appendLog("Unable to start control service: " + displayText(error) + "\n");
        return nullptr;
    }
}

} // namespace zel
