#include "tests/support/sway.hpp"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zel::test {
namespace {

constexpr uid_t kNobody = 65534;

} // namespace

Sway::Sway(const std::string& extraConfig) {
    namespace fs = std::filesystem;
    const bool root = ::geteuid() == 0;
    runtimeDir_ = (dir_.path() / "run").string();
    fs::create_directory(runtimeDir_);
    fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(runtimeDir_, fs::perms::owner_all);
    if (root && ::chown(runtimeDir_.c_str(), kNobody, kNobody) != 0) {
        throw std::runtime_error("cannot hand the runtime directory to nobody");
    }
    const std::string config = (dir_.path() / "config").string();
    std::ofstream(config) << "output HEADLESS-1 mode 1920x1080 position 0 0\n"
                             "output * bg #204080 solid_color\n"
                             "xwayland disable\n"
                             "default_border none\n"
                             "default_floating_border none\n"
                          << extraConfig << "\n";
    fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                fs::perms::others_read);

    auto argv = root ? std::vector<std::string>{"setpriv", "--reuid=65534", "--regid=65534",
                                                "--clear-groups"}
                     : std::vector<std::string>{};
    argv.insert(argv.end(),
                {"env", "-i", "PATH=/usr/bin:/bin", "HOME=" + runtimeDir_,
                 "XDG_RUNTIME_DIR=" + runtimeDir_, "WLR_BACKENDS=headless",
                 "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman", "sway", "-c", config});
    const std::string log = (dir_.path() / "sway.log").string();
    pid_ = spawnLogged(argv, {}, log);

    // Both sockets appear within a fraction of a second; the output is up once swaymsg sees it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("sway ended at start: " + readFile(log));
        }
        for (const auto& entry : fs::directory_iterator(runtimeDir_)) {
            const std::string name = entry.path().filename().string();
            if (entry.is_socket() && name.starts_with("wayland-")) {
                socket_ = entry.path().string();
            } else if (entry.is_socket() && name.starts_with("sway-ipc.")) {
                ipcSocket_ = entry.path().string();
            }
        }
        if (!socket_.empty() && !ipcSocket_.empty() &&
            message({"-t", "get_outputs"}).output.find("HEADLESS-1") != std::string::npos) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("sway did not start: " + readFile(log));
}

Sway::~Sway() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

std::vector<std::string> Sway::clientEnv() const {
    return {"XDG_RUNTIME_DIR=" + runtimeDir_, "WAYLAND_DISPLAY=" + socket_,
            "SWAYSOCK=" + ipcSocket_};
}

CommandResult Sway::message(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"swaymsg", "-s", ipcSocket_};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv);
}

std::string Sway::path(const std::string& name) const {
    return (dir_.path() / name).string();
}

} // namespace zel::test
