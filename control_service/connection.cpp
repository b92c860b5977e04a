// Reading, answering and closing one connection; waiting for readability first keeps idle
// connections free of the 64 KiB read buffer.
#include "control_service/connection.hpp"

#include "control_service/http_codec.hpp"
#include "control_service/routes.hpp"

#include <string>

namespace zel::control {
namespace {

using asio::ip::tcp;

constexpr std::size_t kMaximumRequestBytes = 65'536;

} // namespace

Connection::Connection(tcp::socket socket, ServiceContext& service)
    : service_(service), strand_(asio::make_strand(service.io)), socket_(std::move(socket)),
      timer_(strand_) {}

Connection::~Connection() {
    --service_.openConnections;
}

void Connection::start() {
    asio::dispatch(strand_, [self = shared_from_this()] {
        asio::error_code ignored;
        self->socket_.non_blocking(true, ignored);
        // A peer has often sent its request by the time it is accepted: read at once, and wait
        // (with the idle limit) only when nothing has arrived yet.
        if (!self->tryRead()) {
            self->phase_ = Phase::waiting;
            self->service_.idlePeers.add(self);
            self->armTimer(self->service_.config.idleTimeout);
            self->awaitRequest();
        }
    });
}

void Connection::sendHTTPResponse(std::string_view status, std::string_view contentType,
                                  std::span<const std::uint8_t> body) {
    asio::dispatch(strand_, [self = shared_from_this(),
                             bytes = httpResponseBytes(status, contentType, body)]() mutable {
        self->write(std::move(bytes));
    });
}

void Connection::sendHTTPError(std::string_view message, std::string_view status) {
    service_.errorLog.append("Screenshot HTTP error: " + std::string(message) + "\n");
    sendHTTPResponse(status, kContentTypeText, bytesOf(message));
}

void Connection::answerError(std::string_view message) {
    sendHTTPResponse(kStatusServerError, kContentTypeText, bytesOf(message));
}

void Connection::awaitRequest() {
    socket_.async_wait(
        tcp::socket::wait_read,
        asio::bind_executor(strand_, [self = shared_from_this()](const asio::error_code& error) {
            self->onReadable(error);
        }));
}

void Connection::onReadable(const asio::error_code& waitError) {
    if (closed_) {
        return; // timed out: closed plainly
    }
    if (waitError) {
        timer_.cancel();
        sendHTTPError("Request failed: " + waitError.message());
        return;
    }
    if (!tryRead()) {
        awaitRequest(); // a spurious wake-up
    }
}

// The one read, when there is something to read (bytes, the end or an error); false, having read
// nothing, when the peer has sent nothing yet.
bool Connection::tryRead() {
    // Not zero-filled: only the bytes the read delivers are ever looked at.
    const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kMaximumRequestBytes);
    asio::error_code error;
    const std::size_t received =
        socket_.read_some(asio::buffer(buffer.get(), kMaximumRequestBytes), error);
    if (error == asio::error::would_block || error == asio::error::try_again) {
        return false;
    }
    timer_.cancel();
    if (phase_.exchange(Phase::reading) == Phase::evicted) {
        close(); // the request came too late: its connection is already given away
        return true;
    }
    // The peer closed without sending: "Invalid request.", as for bytes that do not read, but
    // not logged: a port scan or a connect-and-close flood is nobody's request.
    if (error == asio::error::eof || (!error && received == 0)) {
        answerError("Invalid request.");
    } else if (error) {
        sendHTTPError("Request failed: " + error.message());
    } else {
        routeRequest({buffer.get(), received}, shared_from_this(), service_);
    }
    return true;
}

void Connection::write(std::vector<std::uint8_t> bytes) {
    if (closed_) {
        return;
    }
    response_ = std::move(bytes);
    armTimer(service_.config.writeTimeout);
    asio::async_write(socket_, asio::buffer(response_),
                      asio::bind_executor(strand_, [self = shared_from_this()](
                                                       const asio::error_code&, std::size_t) {
                          // Closed whether or not the write succeeded; its error is not news.
                          self->close();
                      }));
}

void Connection::armTimer(std::chrono::milliseconds timeout) {
    timer_.expires_after(timeout);
    timer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
        if (!error) {
            self->close();
        }
    });
}

// The end of the output, then the close; pending waits and writes end as cancelled.
void Connection::close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    phase_ = Phase::reading; // nothing to evict any more
    timer_.cancel();
    asio::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    socket_.close(ignored);
}

void IdlePeers::add(const std::shared_ptr<Connection>& connection) {
    const std::lock_guard guard(mutex_);
    // The ones that have read or gone since leave from the front; a long waiter there holds the
    // rest back only until its idle limit.
    while (!waiting_.empty()) {
        const auto front = waiting_.front().lock();
        if (front && front->phase_ == Connection::Phase::waiting) {
            break;
        }
        waiting_.pop_front();
    }
    waiting_.push_back(connection);
}

bool IdlePeers::evictOldest() {
    std::vector<std::shared_ptr<Connection>> passed; // released after the lock
    const std::lock_guard guard(mutex_);
    while (!waiting_.empty()) {
        auto connection = waiting_.front().lock();
        waiting_.pop_front();
        auto expected = Connection::Phase::waiting;
        if (connection &&
            connection->phase_.compare_exchange_strong(expected, Connection::Phase::evicted)) {
            asio::post(connection->strand_, [connection] { connection->close(); });
            return true;
        }
        passed.push_back(std::move(connection));
    }
    return false;
}

} // namespace zel::control
