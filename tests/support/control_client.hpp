// A raw TCP client for the control service tests and benchmarks: exact bytes out, every byte of the
// answer in.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/time.h>
#include <system_error>
#include <unistd.h>

namespace zel::test {

// Sends the request on a new connection, after it ends the sending side when asked, and returns
// everything the service writes until it closes.
inline std::string roundTrip(std::uint16_t port, std::string_view request,
                             bool endSending = false) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "connect");
    }
    timeval timeout{15, 0}; // a hanging service fails the test instead of blocking it
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (endSending) {
        ::shutdown(fd, SHUT_WR);
    }
    std::string out;
    char chunk[65536];
    for (ssize_t n = 0; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
        out.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
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
    const auto type = head.find("Content-Type: ") + 14;
    return {std::string(head.substr(9, head.find("\r\n") - 9)),
            std::string(head.substr(type, head.find("\r\n", type) - type)),
            std::string(raw.substr(headEnd + 4))};
}

} // namespace zel::test
