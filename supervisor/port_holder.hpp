// Who listens on a local TCP port, read from /proc: so that a start can tell an agent server
// left behind by an earlier run of ours (a crash, a SIGKILL) from another program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

namespace zel {

struct PortHolder {
    pid_t pid = -1;
    std::string command;       // its command line, arguments joined by spaces
    std::filesystem::path cwd; // its working directory
};

// The process listening on the IPv4 or IPv6 port, among those whose descriptors we may read;
// nothing when none listens (or its owner is hidden from us).
std::optional<PortHolder> portHolder(std::uint16_t port);

// Whether the holder is an agent server started from this agent directory ("node src/server.js"
// there): ours to end.
bool isOurAgentServer(const PortHolder& holder, const std::filesystem::path& agentDirectory);

} // namespace zel
