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
    const auto string = [&](const char* name) {
        const auto it = stored.find(name);
        return it != stored.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    const std::string kind = string("address");
    settings.address.kind = kind == "named-tunnel" ? PublicAddress::Kind::namedTunnel
                            : kind == "own"        ? PublicAddress::Kind::own
                                                   : PublicAddress::Kind::quickTunnel;
    settings.address.tunnelToken = string("tunnelToken");
    settings.address.hostname = string("tunnelHostname");
    settings.address.url = string("publicURL");
    return settings;
}

void saveOwnerSettings(const OwnerSettings& settings) {
    const auto kind = settings.address.kind;
    const nlohmann::json stored = {{"allowTerminal", settings.allowTerminal},
                                   {"requireConsent", settings.requireConsent},
                                   {"address", kind == PublicAddress::Kind::namedTunnel
                                                   ? "named-tunnel"
                                               : kind == PublicAddress::Kind::own ? "own"
                                                                                  : "quick-tunnel"},
                                   {"tunnelToken", settings.address.tunnelToken},
                                   {"tunnelHostname", settings.address.hostname},
                                   {"publicURL", settings.address.url}};
    writePrivateFile(settingsPath(), stored.dump(2) + "\n");
}

nlohmann::json settingsMessage(const OwnerSettings& settings) {
    return {{"type", "settings"},
            {"terminal", settings.allowTerminal},
            {"consent", settings.requireConsent}};
}

} // namespace zel
