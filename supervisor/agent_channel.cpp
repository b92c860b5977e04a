#include "supervisor/agent_channel.hpp"

#include "base/agent_log.hpp"

#include <array>
#include <cerrno>
#include <string>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace zel {

AgentChannel::AgentChannel(MessageHandler onMessage) : onMessage_(std::move(onMessage)) {
    std::array<int, 2> ends{};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) {
        throw std::system_error(errno, std::generic_category(), "socketpair");
    }
    ownEnd_ = ends[0];
    childEnd_ = ends[1];
}

AgentChannel::~AgentChannel() {
    if (reader_.joinable()) {
        reader_.request_stop();
        ::shutdown(ownEnd_, SHUT_RDWR); // wakes the reader at once
        reader_.join();
    }
    releaseChildEnd();
    ::close(ownEnd_);
}

void AgentChannel::releaseChildEnd() {
    if (childEnd_ >= 0) {
        ::close(childEnd_);
        childEnd_ = -1;
    }
}

void AgentChannel::start() {
    reader_ = std::jthread([this](const std::stop_token& stop) { readLoop(stop); });
}

bool AgentChannel::send(const nlohmann::json& message) {
    std::string line = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line += '\n';
    const std::lock_guard lock(writeMutex_);
    for (std::size_t written = 0; written < line.size();) {
        const ssize_t n =
            ::send(ownEnd_, line.data() + written, line.size() - written, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

void AgentChannel::readLoop(const std::stop_token& stop) {
    std::string pending;
    std::array<char, 16384> buffer{};
    while (!stop.stop_requested()) {
        const ssize_t n = ::recv(ownEnd_, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        pending.append(buffer.data(), static_cast<std::size_t>(n));
        for (std::size_t end = pending.find('\n'); end != std::string::npos;
             end = pending.find('\n')) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            const auto message = nlohmann::json::parse(line, nullptr, false);
            if (!message.is_object()) {
                appendLog("Agent channel: a line that is no JSON object was dropped\n");
                continue;
            }
            onMessage_(message);
        }
        if (pending.size() > kMaxLine) {
            appendLog("Agent channel: a line over 64 KiB; the channel is closed\n");
            ::shutdown(ownEnd_, SHUT_RDWR);
            return;
        }
    }
}

} // namespace zel
