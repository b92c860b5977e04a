// The switches the owner sets in the window, remembered in the XDG config folder (mode 600).
#pragma once

#include "supervisor/public_address.hpp"

#include <nlohmann/json.hpp>

namespace zel {

struct OwnerSettings {
    // The terminal and run_command.
    bool allowTerminal = true;
    // A device that presents a valid code waits for the owner's yes.
    bool requireConsent = false;
    // Where the phone reaches this computer; the quick tunnel unless the owner chose otherwise.
    PublicAddress address;

    friend bool operator==(const OwnerSettings&, const OwnerSettings&) = default;
};

// settings.json in the app's config folder; the defaults where it is missing, damaged or a value
// is not a boolean (each value on its own).
OwnerSettings loadOwnerSettings();
// Replaces the file whole; throws std::system_error when it cannot be written.
void saveOwnerSettings(const OwnerSettings& settings);

// The channel message that tells the agent server.
nlohmann::json settingsMessage(const OwnerSettings& settings);

} // namespace zel
