// The app's own folders in the XDG homes, and files only their owner may read, replaced whole.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace zel {

// $XDG_STATE_HOME/zel-desktop-agent (default ~/.local/state/…) and $XDG_CONFIG_HOME/… (default
// ~/.config/…); relative XDG values are ignored, as the rules say. Not created here.
std::filesystem::path appStateDirectory();
std::filesystem::path appConfigDirectory();

// Writes the file with mode 600 through a temporary file in the same folder that is synced and
// renamed into place: a crash at any point leaves the old content or the new, never a torn one.
// The folder is created (mode 700) when missing. Throws std::system_error on failure.
void writePrivateFile(const std::filesystem::path& path, std::string_view content);

// The whole file, or nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path& path);

} // namespace zel
