// Starting at login: an XDG autostart entry ($XDG_CONFIG_HOME/autostart, ~/.config/autostart by
// default) that every desktop following the XDG rules runs at login.
#pragma once

#include <filesystem>

namespace zel {

std::filesystem::path autostartEntry();

// Whether the entry is there (the owner may also have removed it by hand).
bool startsAtLogin();

// Writes the entry, which starts `executable` with --start --hidden (the connection at once, the
// window in the tray where there is one), or removes it. Throws std::system_error on failure.
void setStartAtLogin(bool on, const std::filesystem::path& executable);

} // namespace zel
