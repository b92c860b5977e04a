#include "app/owner_settings.hpp"

#include "base/private_files.hpp"

namespace zel {
namespace {

std::filesystem::path settingsPath() {
    return appConfigDirectory() / "settings.json";
}

} // namespace

OwnerSettings loadOwnerSettings() {
    OwnerSettings settings;
    const auto text = readWholeFile(settingsPath());
    if (!text) {
        return settings;
    }
    const auto stored = nlohmann::json::parse(*text, nullptr, false);
    if (!stored.is_object()) {
        return settings;
    }
    const auto flag = [&](const char* name, bool& value) {
        const auto it = stored.find(name);
        if (it != stored.end() && it->is_boolean()) {
            value = it->get<bool>();
        }
    };
    flag("allowTerminal", settings.allowTerminal);
    flag("requireConsent", settings.requireConsent);
    return settings;
}

void saveOwnerSettings(const OwnerSettings& settings) {
    const nlohmann::json stored = {{"allowTerminal", settings.allowTerminal},
                                   {"requireConsent", settings.requireConsent}};
    writePrivateFile(settingsPath(), stored.dump(2) + "\n");
}

nlohmann::json settingsMessage(const OwnerSettings& settings) {
    return {{"type", "settings"},
            {"terminal", settings.allowTerminal},
            {"consent", settings.requireConsent}};
}

} // namespace zel
