// Accepting connections: passing errors (descriptors or buffers short for a moment) pause the loop
// instead of ending it; only an error that leaves the socket unusable is logged and final.
#include "control_service/acceptor.hpp"

#include "base/agent_log.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>

namespace zel::control {
namespace {

using asio::ip::tcp;

// Errors after which the listening socket is still good: the system is short of descriptors or
// buffers for a moment, or one peer vanished during its handshake (accept(2) lists the network
// errors as retryable). Anything else leaves the listener unusable.
bool acceptErrorPasses(const asio::error_code& error) {
    static constexpr std::array kPassing{
        EMFILE,    ENFILE, ECONNABORTED, ENOBUFS,    ENOMEM,      EPROTO, ENETDOWN, ENOPROTOOPT,
        EHOSTDOWN, ENONET, EHOSTUNREACH, EOPNOTSUPP, ENETUNREACH, EPERM,  EINTR,    EAGAIN};
    return error.category() == asio::error::get_system_category() &&
           std::find(kPassing.begin(), kPassing.end(), error.value()) != kPassing.end();
}

tcp::acceptor openAcceptor(asio::io_context& io, const tcp::endpoint& endpoint) {
    tcp::acceptor acceptor(io);
    asio::error_code error;
    acceptor.open(endpoint.protocol(), error);
    if (!error && endpoint.address().is_v6()) {
        acceptor.set_option(asio::ip::v6_only(true), error);
    }
    // SO_REUSEADDR: a restart right after quitting binds at once despite TIME_WAIT connections.
    if (!error) {
        acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    }
    if (!error) {
        acceptor.bind(endpoint, error);
    }
    if (!error) {
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        throw std::system_error(error);
    }
    return acceptor;
}

} // namespace

Acceptor::Acceptor(asio::io_context& io, const tcp::endpoint& endpoint,
                   std::chrono::milliseconds errorPause, OnConnection onConnection)
    : strand_(asio::make_strand(io)), acceptor_(openAcceptor(io, endpoint)), pauseTimer_(strand_),
      errorPause_(errorPause), onConnection_(std::move(onConnection)),
      port_(acceptor_.local_endpoint().port()) {}

void Acceptor::start() {
    asio::dispatch(strand_, [this] { accept(); });
}

void Acceptor::cancel() {
    asio::dispatch(strand_, [this] {
        asio::error_code ignored;
        acceptor_.close(ignored);
        pauseTimer_.cancel();
    });
}

void Acceptor::close() {
    asio::error_code ignored;
    acceptor_.close(ignored);
}

void Acceptor::accept() {
    acceptor_.async_accept(
        asio::bind_executor(strand_, [this](const asio::error_code& error, tcp::socket socket) {
            onAccept(error, std::move(socket));
        }));
}

void Acceptor::onAccept(const asio::error_code& error, tcp::socket socket) {
    if (!acceptor_.is_open() || error == asio::error::operation_aborted) {
        return; // cancelled
    }
    if (!error) {
        onConnection_(std::move(socket));
        accept();
        return;
    }
    if (acceptErrorPasses(error)) {
        // Accepting again at once would spin while descriptors are short; idle peers time out
        // and free theirs meanwhile.
        pauseTimer_.expires_after(errorPause_);
        pauseTimer_.async_wait([this](const asio::error_code& waitError) {
            if (!waitError && acceptor_.is_open()) {
                accept();
            }
        });
        return;
    }
    appendLog("Screenshot service failed: " + error.message() + "\n");
}

} // namespace zel::control
