// A raw TCP client for the control service tests: exact bytes out, every byte of the answer in.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/time.h>
#include <system_error>
#include <unistd.h>

namespace zel::test {

class ControlClient {
public:
    // Connects to the loopback address of the family (AF_INET or AF_INET6); throws on failure.
    explicit ControlClient(std::uint16_t port, int family = AF_INET) {
        fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            throw std::system_error(errno, std::generic_category(), "socket");
        }
        timeval timeout{15, 0}; // a service that hangs fails the test instead of blocking it
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        int result = -1;
        if (family == AF_INET6) {
            sockaddr_in6 address{};
            address.sin6_family = AF_INET6;
            address.sin6_port = htons(port);
            address.sin6_addr = in6addr_loopback;
            result = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        } else {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            result = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
        if (result != 0) {
            const int error = errno;
            ::close(fd_);
            throw std::system_error(error, std::generic_category(), "connect");
        }
    }
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;
    ~ControlClient() { ::close(fd_); }

    // Sends everything it can; a peer that has closed ends the sending quietly.
    void send(std::string_view bytes) const {
        while (!bytes.empty()) {
            const auto n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    void shutdownWrite() const { ::shutdown(fd_, SHUT_WR); }

    // Every byte until the service closes; `timedOut` tells a hang from a close.
    std::string receiveAll(bool* timedOut = nullptr) const {
        std::string out;
        char buffer[65536];
        for (;;) {
            const auto n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) {
                out.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (timedOut != nullptr) {
                *timedOut = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            }
            return out;
        }
    }

private:
    int fd_ = -1;
};

// One exchange: the request bytes, then the whole answer.
inline std::string roundTrip(std::uint16_t port, std::string_view request) {
    const ControlClient client(port);
    client.send(request);
    return client.receiveAll();
}

struct ParsedReply {
    std::string status;
    std::string contentType;
    std::string body;
};

// Splits an answer written in the service's one head layout.
inline ParsedReply parseReply(std::string_view raw) {
    ParsedReply reply;
    const auto headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) {
        return reply;
    }
    const auto head = raw.substr(0, headEnd);
    reply.body = std::string(raw.substr(headEnd + 4));
    const auto lineEnd = head.find("\r\n");
    reply.status =
        std::string(head.substr(0, lineEnd).substr(std::string_view("HTTP/1.1 ").size()));
    constexpr std::string_view kType = "\r\nContent-Type: ";
    if (const auto at = head.find(kType); at != std::string_view::npos) {
        const auto start = at + kType.size();
        reply.contentType = std::string(head.substr(start, head.find("\r\n", start) - start));
    }
    return reply;
}

} // namespace zel::test
