// The agent log: one plain-text file that helper output and the app's own notes are appended to.
#pragma once

#include <filesystem>
#include <string_view>

namespace zel {

// $XDG_STATE_HOME/zel-desktop-agent/agent.log (default ~/.local/state), the XDG home for logs.
// Every call makes sure the directory exists; failures to create it are ignored.
std::filesystem::path logURL();

// Appends the text verbatim. Text that is not valid UTF-8 is dropped; every failure is ignored.
// Safe from any thread: each append reaches the file whole, never split or overwritten.
void appendLog(std::string_view text);

// Empties the log at a connection start by an atomic replace with an empty file, so a reader never
// sees a half-emptied log. Unlike appendLog, a failure throws std::system_error.
void resetLog();

} // namespace zel
