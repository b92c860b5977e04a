// One accepted connection of the control service: one bounded read, one answer, then the close.
// Its strand stands for its serial queue; the idle and write limits are its timer's.
#pragma once

#include "control_service/http_codec.hpp"
#include "control_service/service_context.hpp"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

namespace zel::control {

class Connection : public std::enable_shared_from_this<Connection> {
public:
    // The caller has counted the connection in service.openConnections.
    Connection(asio::ip::tcp::socket socket, ServiceContext& service);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    // Reads the request and hands it to the routes.
    void start();

    // Callable from any thread; the write and the close run on the connection's strand.
    void sendHTTPResponse(std::string_view status, std::string_view contentType,
                          std::span<const std::uint8_t> body);
    // Logs "Screenshot HTTP error: <message>" (folded when it repeats) and answers it with the
    // status, a 500 unless given.
    void sendHTTPError(std::string_view message, std::string_view status = kStatusServerError);

private:
    void awaitRequest();
    void onReadable(const asio::error_code& waitError);
    bool tryRead();
    void write(std::vector<std::uint8_t> bytes);
    void armTimer(std::chrono::milliseconds timeout);
    void close();
    void answerError(std::string_view message);

    friend class IdlePeers;
    enum class Phase { fresh, waiting, reading, evicted };

    ServiceContext& service_;
    asio::strand<asio::io_context::executor_type> strand_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    std::vector<std::uint8_t> response_;
    bool closed_ = false;
    // Written on the strand and by an eviction from the accepting thread.
    std::atomic<Phase> phase_ = Phase::fresh;
};

// Connections waiting for their first byte, oldest first. At the connection cap the oldest is
// closed to make room: peers that only hold connections open must not keep the agent server out,
// whose request arrives with its connection.
class IdlePeers {
public:
    void add(const std::shared_ptr<Connection>& connection);
    // Closes the one that has waited longest and still sent nothing; false when there is none.
    bool evictOldest();

private:
    std::mutex mutex_;
    std::deque<std::weak_ptr<Connection>> waiting_; // guarded by mutex_
};

} // namespace zel::control
