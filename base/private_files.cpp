#include "base/private_files.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <random>
#include <sstream>
#include <system_error>
#include <unistd.h>

namespace zel {
namespace {

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        return home;
    }
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return "/";
}

std::filesystem::path xdgHome(const char* variable, const char* fallback) {
    if (const char* value = std::getenv(variable); value != nullptr && *value == '/') {
        return std::filesystem::path(value) / "zel-desktop-agent";
    }
    return homeDirectory() / fallback / "zel-desktop-agent";
}

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

std::filesystem::path appStateDirectory() {
    return xdgHome("XDG_STATE_HOME", ".local/state");
}

std::filesystem::path appConfigDirectory() {
    return xdgHome("XDG_CONFIG_HOME", ".config");
}

void writePrivateFile(const std::filesystem::path& path, std::string_view content) {
    const auto folder = path.parent_path();
    std::error_code error;
    if (std::filesystem::create_directories(folder, error)) {
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
    }
    const std::string temporary =
        (folder / ("." + path.filename().string() + "." + std::to_string(::getpid()) + "." +
                   std::to_string(std::random_device{}())))
            .string();
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        fail("open " + temporary);
    }
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int saved = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            errno = saved;
            fail("write " + temporary);
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int saved = errno;
        ::unlink(temporary.c_str());
        errno = saved;
        fail("sync " + temporary);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temporary.c_str());
        errno = saved;
        fail("rename " + path.string());
    }
    // The rename is durable once the folder is synced.
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

} // namespace zel
