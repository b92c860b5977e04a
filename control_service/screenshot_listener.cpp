// The listener and the per-connection handling: one bounded read, the secret check, the routes
// and one response per connection. Network work runs on a few threads under strands; captures
// and inputs block, so each has a pool of its own and never holds the threads that accept and read.
#include "control_service/screenshot_listener.hpp"

#include "app/app_error.hpp"
#include "control_service/http_codec.hpp"
#include "supervisor/agent_log.hpp"

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <cerrno>
#include <cmath>
#include <limits>
#include <optional>
#include <system_error>
#include <thread>

namespace zel {
namespace {

using asio::ip::tcp;
using Strand = asio::strand<asio::io_context::executor_type>;

constexpr std::size_t kMaximumRequestBytes = 65'536;

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

// Every local address: one dual-stack IPv6 socket, or IPv4 alone where the system has no IPv6.
tcp::acceptor openAcceptor(asio::io_context& io, std::uint16_t port) {
    tcp::acceptor acceptor(io);
    asio::error_code error;
    tcp::endpoint endpoint(asio::ip::address_v6::any(), port);
    acceptor.open(endpoint.protocol(), error);
    if (error == asio::error::address_family_not_supported) {
        endpoint = tcp::endpoint(asio::ip::address_v4::any(), port);
        acceptor.open(endpoint.protocol(), error);
    } else if (!error) {
        acceptor.set_option(asio::ip::v6_only(false), error);
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

nlohmann::json wholeNumbersAsIntegers(const nlohmann::json& value) {
    if (value.is_number_float()) {
        const double number = value.get<double>();
        constexpr double kLimit = 9.2e18; // inside the 64-bit range, far beyond any screen size
        if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < kLimit) {
            return static_cast<std::int64_t>(number);
        }
        return value;
    }
    if (value.is_object()) {
        nlohmann::json out = nlohmann::json::object();
        for (const auto& [key, member] : value.items()) {
            out[key] = wholeNumbersAsIntegers(member);
        }
        return out;
    }
    if (value.is_array()) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& element : value) {
            out.push_back(wholeNumbersAsIntegers(element));
        }
        return out;
    }
    return value;
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

} // namespace

std::string compactJSON(const nlohmann::json& value) {
    return wholeNumbersAsIntegers(value).dump();
}

class ScreenshotListener::Service {
public:
    explicit Service(ControlServiceConfig configuration)
        : config(std::move(configuration)),
          capturePool(std::max<std::size_t>(1, config.captureThreads)),
          inputPool(std::max<std::size_t>(1, config.inputThreads)),
          listenerStrand_(asio::make_strand(io)), acceptor_(openAcceptor(io, config.port)),
          pauseTimer_(listenerStrand_), port_(acceptor_.local_endpoint().port()) {
        asio::dispatch(listenerStrand_, [this] { accept(); });
        const auto count = std::max<std::size_t>(1, config.networkThreads);
        for (std::size_t i = 0; i < count; ++i) {
            networkThreads_.emplace_back([this] { io.run(); });
        }
    }

    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    ~Service() {
        work_.reset();
        io.stop();
        for (auto& thread : networkThreads_) {
            thread.join();
        }
        // Running captures and inputs finish (their answers go nowhere); queued ones are dropped.
        capturePool.stop();
        inputPool.stop();
        capturePool.join();
        inputPool.join();
        asio::error_code ignored;
        acceptor_.close(ignored);
    }

    [[nodiscard]] std::uint16_t port() const { return port_; }

    void cancel() {
        asio::dispatch(listenerStrand_, [this] {
            asio::error_code ignored;
            acceptor_.close(ignored);
            pauseTimer_.cancel();
        });
    }

    const ControlServiceConfig config;
    // The pools come after the context, so that work still queued in them (holding
    // connections and so sockets of the context) is destroyed while the context lives.
    asio::io_context io;
    asio::thread_pool capturePool;
    asio::thread_pool inputPool;

private:
    void accept();
    void onAccept(const asio::error_code& error, tcp::socket socket);

    asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io);
    Strand listenerStrand_;
    tcp::acceptor acceptor_;
    asio::steady_timer pauseTimer_;
    std::uint16_t port_;
    std::vector<std::thread> networkThreads_;
};

namespace {

// One accepted connection: its own strand stands for its serial queue.
class LocalConnection : public std::enable_shared_from_this<LocalConnection> {
public:
    LocalConnection(tcp::socket socket, ScreenshotListener::Service& service)
        : service_(service), strand_(asio::make_strand(service.io)), socket_(std::move(socket)),
          timer_(strand_) {}

    void handleLocalServiceConnection() {
        asio::dispatch(strand_, [self = shared_from_this()] {
            asio::error_code ignored;
            self->socket_.non_blocking(true, ignored);
            // A peer has often sent its request by the time it is accepted: read at once, and
            // wait (with the idle limit) only when nothing has arrived yet.
            if (!self->tryRead()) {
                self->armTimer(self->service_.config.idleTimeout);
                self->awaitRequest();
            }
        });
    }

    // Callable from any thread; the write and the close run on the connection's strand.
    void sendHTTPResponse(std::string_view status, std::string_view contentType,
                          std::span<const std::uint8_t> body) {
        asio::dispatch(strand_, [self = shared_from_this(),
                                 bytes = httpResponseBytes(status, contentType, body)]() mutable {
            self->write(std::move(bytes));
        });
    }

    void sendHTTPError(std::string_view message) {
        appendLog("Screenshot HTTP error: " + std::string(message) + "\n");
        sendHTTPResponse(kStatusServerError, kContentTypeText, bytesOf(message));
    }

private:
    // Waiting for readability first keeps idle connections free of the 64 KiB read buffer.
    void awaitRequest() {
        socket_.async_wait(tcp::socket::wait_read,
                           asio::bind_executor(
                               strand_, [self = shared_from_this()](const asio::error_code& error) {
                                   self->onReadable(error);
                               }));
    }

    void onReadable(const asio::error_code& waitError) {
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

    // The one read, when there is something to read (bytes, the end or an error); false, having
    // read nothing, when the peer has sent nothing yet.
    bool tryRead() {
        // Not zero-filled: only the bytes the read delivers are ever looked at.
        const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kMaximumRequestBytes);
        asio::error_code error;
        const std::size_t received =
            socket_.read_some(asio::buffer(buffer.get(), kMaximumRequestBytes), error);
        if (error == asio::error::would_block || error == asio::error::try_again) {
            return false;
        }
        timer_.cancel();
        // The peer closed without sending: "Invalid request.", as for bytes that do not read.
        if (error == asio::error::eof || (!error && received == 0)) {
            sendHTTPError("Invalid request.");
        } else if (error) {
            sendHTTPError("Request failed: " + error.message());
        } else {
            handleRequest({buffer.get(), received});
        }
        return true;
    }

    void handleRequest(std::span<const std::uint8_t> bytes) {
        const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (!isValidUTF8(text)) {
            sendHTTPError("Invalid request.");
            return;
        }
        LocalHTTPRequest request = localHTTPRequest(text, bytes);
        if (!constantTimeEquals(service_.config.secret, request.secret)) {
            sendHTTPResponse(kStatusForbidden, kContentTypeText, bytesOf("Forbidden"));
            return;
        }
        if (request.path == "/input") {
            inputRoute(std::move(request.body));
        } else {
            screenshotRoute(screenshotRequestParams(request));
        }
    }

    void inputRoute(std::vector<std::uint8_t> body) {
        asio::post(service_.inputPool, [self = shared_from_this(), body = std::move(body)] {
            try {
                const auto& perform = self->service_.config.handlers.input;
                if (!perform) {
                    throw AppError("Input is not available.");
                }
                const std::string_view text(reinterpret_cast<const char*>(body.data()),
                                            body.size());
                const auto json = compactJSON(perform(text));
                self->sendHTTPResponse(kStatusOK, kContentTypeJSON, bytesOf(json));
            } catch (const std::exception& error) {
                self->sendHTTPError("Main app input failed: " + displayText(error));
            } catch (...) {
                self->sendHTTPError("Main app input failed: unknown error");
            }
        });
    }

    void screenshotRoute(ScreenshotRequestParams params) {
        asio::post(service_.capturePool, [self = shared_from_this(), params = std::move(params)] {
            try {
                const auto& capture = self->service_.config.handlers.screenshot;
                if (!capture) {
                    throw AppError("Screen capture is not available.");
                }
                const auto image = capture(params.format, static_cast<int>(params.width),
                                           static_cast<int>(params.quality));
                self->sendHTTPResponse(kStatusOK,
                                       params.format == "png" ? "image/png" : "image/jpeg", image);
            } catch (const std::exception& error) {
                self->sendHTTPError("Main app screenshot failed: " + displayText(error));
            } catch (...) {
                self->sendHTTPError("Main app screenshot failed: unknown error");
            }
        });
    }

    void write(std::vector<std::uint8_t> bytes) {
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

    void armTimer(std::chrono::milliseconds timeout) {
        timer_.expires_after(timeout);
        timer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (!error) {
                self->close();
            }
        });
    }

    // The end of the output, then the close; pending waits and writes end as cancelled.
    void close() {
        if (closed_) {
            return;
        }
        closed_ = true;
        timer_.cancel();
        asio::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        socket_.close(ignored);
    }

    ScreenshotListener::Service& service_;
    Strand strand_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    std::vector<std::uint8_t> response_;
    bool closed_ = false;
};

} // namespace

void ScreenshotListener::Service::accept() {
    acceptor_.async_accept(asio::bind_executor(
        listenerStrand_, [this](const asio::error_code& error, tcp::socket socket) {
            onAccept(error, std::move(socket));
        }));
}

void ScreenshotListener::Service::onAccept(const asio::error_code& error, tcp::socket socket) {
    if (!acceptor_.is_open() || error == asio::error::operation_aborted) {
        return; // cancelled
    }
    if (!error) {
        std::make_shared<LocalConnection>(std::move(socket), *this)->handleLocalServiceConnection();
        accept();
        return;
    }
    if (acceptErrorPasses(error)) {
        // Accepting again at once would spin while descriptors are short; idle peers time out
        // and free theirs meanwhile.
        pauseTimer_.expires_after(config.acceptPause);
        pauseTimer_.async_wait([this](const asio::error_code& waitError) {
            if (!waitError && acceptor_.is_open()) {
                accept();
            }
        });
        return;
    }
    appendLog("Screenshot service failed: " + error.message() + "\n");
}

ScreenshotListener::ScreenshotListener(ControlServiceConfig config)
    : service_(std::make_unique<Service>(std::move(config))) {}

ScreenshotListener::~ScreenshotListener() = default;

std::uint16_t ScreenshotListener::port() const {
    return service_->port();
}

void ScreenshotListener::cancel() {
    service_->cancel();
}

std::shared_ptr<ScreenshotListener> startScreenshotService(ControlServiceConfig config) {
    try {
        auto listener = std::make_shared<ScreenshotListener>(std::move(config));
        appendLog("Screenshot service listening on 127.0.0.1:" + std::to_string(listener->port()) +
                  "\n");
        return listener;
    } catch (const std::exception& error) {
        appendLog("Unable to start screenshot service: " + displayText(error) + "\n");
        return nullptr;
    }
}

} // namespace zel
