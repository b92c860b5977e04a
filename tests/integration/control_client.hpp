// A raw TCP client for the control service tests: exact bytes out, every byte of the answer in.
#pragma once

#include <algorithm>
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
    explicit ControlClient(std::uint16_t port, int family = AF_INET)
        : fd_(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in v4{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        sockaddr_in6 v6{AF_INET6, htons(port), 0, in6addr_loopback, 0};
        const bool ipv6 = family == AF_INET6;
        if (fd_ < 0 ||
            ::connect(fd_,
                      ipv6 ? reinterpret_cast<sockaddr*>(&v6) : reinterpret_cast<sockaddr*>(&v4),
                      ipv6 ? sizeof v6 : sizeof v4) != 0) {
            const int error = errno;
            ::close(fd_);
            throw std::system_error(error, std::generic_category(), "connect");
        }
        timeval timeout{15, 0}; // a service that hangs fails the test instead of blocking it
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;
    ~ControlClient() { ::close(fd_); }

    void send(std::string_view bytes) const {
        ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    void shutdownWrite() const { ::shutdown(fd_, SHUT_WR); }

    // Every byte until the service closes; `timedOut` tells a hang from a close.
    std::string receiveAll(bool* timedOut = nullptr) const {
        std::string out(65536, '\0');
        std::size_t size = 0;
        ssize_t n = 0;
        while ((n = ::recv(fd_, out.data() + size, out.size() - size, 0)) > 0) {
            size += static_cast<std::size_t>(n);
            out.resize(std::max(out.size(), size * 2));
        }
        if (timedOut != nullptr) {
            *timedOut = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
        out.resize(size);
        return out;
    }

private:
    int fd_;
};

inline std::string roundTrip(std::uint16_t port, std::string_view request) {
    const ControlClient client(port);
    client.send(request);
    return client.receiveAll();
}

struct ParsedReply {
    std::string status, contentType, body;
};

// Splits an answer written in the service's one head layout.
inline ParsedReply parseReply(std::string_view raw) {
    const auto headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) {
        return {};
    }
    const auto head = raw.substr(0, headEnd);
    constexpr std::string_view kType = "\r\nContent-Type: ";
    const auto type = head.find(kType) + kType.size();
    return {std::string(head.substr(9, head.find("\r\n") - 9)),
            std::string(head.substr(type, head.find("\r\n", type) - type)),
            std::string(raw.substr(headEnd + 4))};
}

} // namespace zel::test
