// The listening socket of the control service and its accept loop, on a strand of its own.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>

namespace zel::control {

class Acceptor {
public:
    using OnConnection = std::function<void(asio::ip::tcp::socket)>;

    // Binds the endpoint; throws std::system_error when it cannot.
    Acceptor(asio::io_context& io, const asio::ip::tcp::endpoint& endpoint,
             std::chrono::milliseconds errorPause, OnConnection onConnection);
    Acceptor(const Acceptor&) = delete;
    Acceptor& operator=(const Acceptor&) = delete;

    [[nodiscard]] std::uint16_t port() const { return port_; }
    void start();
    // Closes the listening socket; accepted connections are not touched.
    void cancel();
    // Only once the network threads have stopped.
    void close();

private:
    void accept();
    void onAccept(const asio::error_code& error, asio::ip::tcp::socket socket);

    asio::strand<asio::io_context::executor_type> strand_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer pauseTimer_;
    std::chrono::milliseconds errorPause_;
    OnConnection onConnection_;
    std::uint16_t port_;
};

} // namespace zel::control
