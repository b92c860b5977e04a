#include "supervisor/port_holder.hpp"

#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

namespace zel {
namespace {

// The inodes of listening sockets on the port in one /proc/net/tcp* table.
std::vector<std::string> listeningInodes(const char* table, std::uint16_t port) {
    std::vector<std::string> inodes;
    std::ifstream in(table);
    std::string line;
    std::getline(in, line); // the heading
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot;
        std::string local;
        std::string remote;
        std::string state;
        fields >> slot >> local >> remote >> state;
        const auto colon = local.rfind(':');
        if (colon == std::string::npos || state != "0A") { // 0A: LISTEN
            continue;
        }
        if (std::stoul(local.substr(colon + 1), nullptr, 16) != port) {
            continue;
        }
        std::string skip;
        for (int i = 0; i < 5; ++i) { // tx:rx tr:when retrnsmt uid timeout
            fields >> skip;
        }
        std::string inode;
        fields >> inode;
        inodes.push_back(inode);
    }
    return inodes;
}

} // namespace

std::optional<PortHolder> portHolder(std::uint16_t port) {
    std::vector<std::string> inodes = listeningInodes("/proc/net/tcp", port);
    for (const auto& inode : listeningInodes("/proc/net/tcp6", port)) {
        inodes.push_back(inode);
    }
    if (inodes.empty()) {
        return std::nullopt;
    }
    std::error_code error;
    for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = process.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::error_code fdError;
        for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", fdError)) {
            std::error_code linkError;
            const std::string target = std::filesystem::read_symlink(fd.path(), linkError).string();
            for (const auto& inode : inodes) {
                if (target == "socket:[" + inode + "]") {
                    PortHolder holder;
                    holder.pid = static_cast<pid_t>(std::stol(name));
                    std::ifstream cmdline(process.path() / "cmdline", std::ios::binary);
                    std::string argument;
                    while (std::getline(cmdline, argument, '\0')) {
                        holder.command += (holder.command.empty() ? "" : " ") + argument;
                    }
                    holder.cwd = std::filesystem::read_symlink(process.path() / "cwd", linkError);
                    return holder;
                }
            }
        }
    }
    return std::nullopt;
}

bool isOurAgentServer(const PortHolder& holder, const std::filesystem::path& agentDirectory) {
    std::error_code error;
    return holder.command.ends_with(" src/server.js") &&
           std::filesystem::equivalent(holder.cwd, agentDirectory, error);
}

} // namespace zel
