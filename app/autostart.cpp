#include "app/autostart.hpp"

#include "base/private_files.hpp"

#include <cstdlib>
#include <string>

namespace zel {

std::filesystem::path autostartEntry() {
    // The app's config folder is <XDG_CONFIG_HOME>/zel-desktop-agent: autostart is its sibling.
    return appConfigDirectory().parent_path() / "autostart" / "zel-desktop-agent.desktop";
}

bool startsAtLogin() {
    std::error_code error;
    return std::filesystem::is_regular_file(autostartEntry(), error);
}

void setStartAtLogin(bool on, const std::filesystem::path& executable) {
    if (!on) {
        std::error_code error;
        std::filesystem::remove(autostartEntry(), error);
        if (error) {
            throw std::system_error(error, "remove " + autostartEntry().string());
        }
        return;
    }
    // Exec quoting: a path with spaces is quoted, and the characters the rules reserve escaped.
    std::string quoted = "\"";
    for (const char c : executable.string()) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += "\\\\";
        }
        quoted += c;
    }
    quoted += "\"";
    writePrivateFile(autostartEntry(), "[Desktop Entry]\n"
                                       "Type=Application\n"
                                       "Name=Zel Desktop Agent\n"
                                       "Comment=让手机查看和操作这台电脑\n"
                                       "Exec=" +
                                           quoted +
                                           " --start --hidden\n"
                                           "Icon=zel-desktop-agent\n"
                                           "Terminal=false\n"
                                           "X-GNOME-Autostart-enabled=true\n");
}

} // namespace zel
