// The agent log: appends from any thread, an atomic reset at a connection start.
#include "base/agent_log.hpp"

#include "base/private_files.hpp"
#include "base/unicode_text.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <system_error>
#include <unistd.h>

namespace zel {

std::filesystem::path logURL() {
    const auto directory = appStateDirectory();
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);
    return directory / "agent.log";
}

void appendLog(std::string_view text) {
    if (!isValidUTF8(text)) {
        return;
    }
    const auto path = logURL();
    // O_APPEND places every write at the end atomically; the lock keeps a write that the kernel
    // splits into parts from interleaving with another thread's.
    static std::mutex writeMutex;
    const std::lock_guard lock(writeMutex);
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

void resetLog() {
    const auto path = logURL();
    std::string temporary = path.string() + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(),
                                "Cannot empty the log " + path.string());
    }
    // mkostemp's 0600 stays: the log holds the token query's output, the access token.
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw std::system_error(error, std::generic_category(),
                                "Cannot empty the log " + path.string());
    }
}

} // namespace zel
