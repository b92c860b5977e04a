// The controller's side of the owner's controls: the device list, the pairing code on demand, the
// switches and the consent question, all over the agent server's channel.
#include "app/autostart.hpp"
#include "app/pairing.hpp"
#include "app/terminal_qr.hpp"
#include "app/uuid.hpp"
#include "app/zel_desktop_agent_app.hpp"
#include "base/agent_log.hpp"
#include "base/app_error.hpp"

#include <algorithm>
#include <array>
#include <ctime>

namespace zel {
namespace {

std::string stringField(const nlohmann::json& object, const char* name) {
    const auto it = object.find(name);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// Local time of a time in milliseconds since the epoch: "HH:MM" today, "MM-DD HH:MM" before.
std::string clockTime(const nlohmann::json& milliseconds) {
    if (!milliseconds.is_number() || milliseconds.get<double>() <= 0) {
        return {};
    }
    const auto seconds = static_cast<std::time_t>(milliseconds.get<double>() / 1000);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    std::tm today{};
    if (::localtime_r(&seconds, &local) == nullptr || ::localtime_r(&now, &today) == nullptr) {
        return {};
    }
    const bool sameDay = local.tm_yday == today.tm_yday && local.tm_year == today.tm_year;
    std::array<char, 32> text{};
    std::strftime(text.data(), text.size(), sameDay ? "%H:%M" : "%m-%d %H:%M", &local);
    return text.data();
}

} // namespace

std::string connectedStatus(std::size_t online, std::size_t trusted) {
    return online > 0 ? "已连接 " + std::to_string(online) + " 台设备"
                      : "已配对 " + std::to_string(trusted) + " 台设备";
}

std::vector<DeviceRow> deviceRows(const nlohmann::json& devices) {
    static const std::pair<const char*, const char*> kOpen[] = {
        {"live", "实时画面"}, {"terminal", "终端"}, {"mcp", "AI 会话"}};
    std::vector<DeviceRow> rows;
    if (!devices.is_array()) {
        return rows;
    }
    for (const auto& device : devices) {
        if (!device.is_object() || stringField(device, "id").empty()) {
            continue;
        }
        std::string open;
        if (const auto it = device.find("open"); it != device.end() && it->is_array()) {
            for (const auto& [kind, text] : kOpen) {
                if (std::find(it->begin(), it->end(), kind) != it->end()) {
                    open += (open.empty() ? "" : "、") + std::string(text);
                }
            }
        }
        const bool cutOff = !device.value("allowed", true);
        const bool online = device.value("online", !open.empty());
        std::string detail;
        if (cutOff) {
            detail = "已断开，等待你允许";
        } else if (online) {
            detail = "在线 · " + (open.empty() ? std::string("空闲") : open);
            const std::string since = clockTime(device.value("pairedAt", nlohmann::json()));
            if (!since.empty()) {
                detail += " · " + since + " 配对";
            }
        } else {
            const std::string seen = clockTime(device.value("lastSeen", nlohmann::json()));
            detail = seen.empty() ? "离线" : "离线 · 最后在线 " + seen;
        }
        const std::string name = stringField(device, "name");
        rows.push_back({stringField(device, "id"), name.empty() ? "未知设备" : name, detail, cutOff,
                        online && !cutOff});
    }
    return rows;
}

std::size_t ZelDesktopAgentApp::trustedDevices() const {
    return static_cast<std::size_t>(
        std::count_if(display_.devices.begin(), display_.devices.end(),
                      [](const DeviceRow& row) { return !row.cutOff; }));
}

WindowActions ZelDesktopAgentApp::windowActions() {
    return {
        .toggle = [this] { toggleConnection(); },
        .pairAnother = [this] { pairAnotherDevice(); },
        .disconnect = [this](const std::string& device) { disconnectDevice(device); },
        .remove = [this](const std::string& device) { removeDevice(device); },
        .allow = [this](const std::string& device) { allowDevice(device); },
        .allowTerminal = [this](bool allow) { setAllowTerminal(allow); },
        .requireConsent = [this](bool require) { setRequireConsent(require); },
        .consent = [this](const std::string& request,
                          bool allow) { answerConsent(request, allow); },
        .setAddress = [this](const PublicAddress& address) { return setPublicAddress(address); },
        .startAtLogin = [this](bool on) { setStartAtLogin(on); },
    };
}

void ZelDesktopAgentApp::sendToAgent(const nlohmann::json& message) {
    std::shared_ptr<AgentChannel> channel;
    {
        const std::lock_guard lock(stateMutex_);
        channel = channel_;
    }
    if (channel) {
        channel->send(message);
    }
}

void ZelDesktopAgentApp::onAgentMessage(std::uint64_t generation, const nlohmann::json& message) {
    {
        const std::lock_guard lock(stateMutex_);
        if (generation != serverGeneration_) {
            return;
        }
        // The liveness probe's answer is the probe's alone.
        if (stringField(message, "type") == "pong") {
            const auto id = message.value("id", nlohmann::json());
            if (id.is_number_unsigned()) {
                lastPong_ = std::max(lastPong_, id.get<std::uint64_t>());
                pongGeneration_ = generation;
            }
            stopped_.notify_all();
            return;
        }
    }
    mainQueue_.post([this, message] { handleAgentMessage(message); });
}

void ZelDesktopAgentApp::handleAgentMessage(const nlohmann::json& message) {
    const std::string type = stringField(message, "type");
    if (type == "devices") {
        auto rows = deviceRows(message.value("devices", nlohmann::json()));
        // A device that has just paired used the code on screen: it leaves the screen, and the
        // next showing needs a fresh one.
        if (rows.size() > display_.devices.size()) {
            pairing_ = false;
            codeSpent_ = true;
        }
        display_.devices = std::move(rows);
        // Nobody left who may come in (all cut off): the code comes back for pairing anew.
        if (trustedDevices() == 0) {
            pairing_ = false;
        }
        renderConnected();
    } else if (type == "event") {
        const std::string name =
            stringField(message.value("device", nlohmann::json::object()), "name");
        const std::string event = stringField(message, "event");
        // The owner's record of who came in; names are no credentials.
        if (event == "paired" || event == "terminal") {
            appendLog((event == "paired" ? "Device paired: " : "Terminal opened by: ") +
                      (name.empty() ? std::string("未知设备") : name) + "\n");
        }
        if (window_ && event == "paired") {
            window_->notify("新设备已连接", (name.empty() ? "未知设备" : name) +
                                                " 已配对，可以查看和操作这台电脑。");
        } else if (window_ && event == "terminal") {
            window_->notify("终端已打开",
                            (name.empty() ? "未知设备" : name) + " 打开了这台电脑的终端。");
        }
    } else if (type == "consent-request") {
        if (window_) {
            window_->askConsent(stringField(message, "request"), stringField(message, "name"));
        }
    } else if (type == "consent-ended") {
        if (window_) {
            window_->endConsent(stringField(message, "request"));
        }
    } else {
        appendLog("Agent channel: unknown message type\n");
    }
}

void ZelDesktopAgentApp::renderConnected() {
    if (!connected_) {
        return;
    }
    const std::size_t trusted = trustedDevices();
    const bool showCode = trusted == 0 || pairing_;
    if (showCode && codeSpent_) {
        issueCode();
    }
    if (trusted == 0) {
        display_.statusText = kReadyStatus;
        display_.detailText = kReadyDetail;
    } else if (pairing_) {
        display_.statusText = kPairAnotherStatus;
        display_.detailText = kPairAnotherDetail;
    } else {
        const auto online = static_cast<std::size_t>(
            std::count_if(display_.devices.begin(), display_.devices.end(),
                          [](const DeviceRow& row) { return row.online; }));
        display_.statusText = connectedStatus(online, trusted);
        display_.detailText = kConnectedDetail;
    }
    // Paired devices or not: the remote-desktop dialog comes at every run of a portal desktop;
    // after a "no" the window says what happened and how to be asked again.
    display_.consentText = consentProblem_.empty() ? desktop_.consentHint : consentProblem_;
    display_.qrHidden = !showCode;
    display_.pairButtonShown = trusted > 0;
    display_.pairButtonTitle = pairing_ ? kHidePairButton : kPairButton;
    renderWindow();
}

void ZelDesktopAgentApp::pairAnotherDevice() {
    if (!connected_) {
        return;
    }
    if (pairing_) {
        pairing_ = false;
        renderConnected();
        return;
    }
    // Each showing is a fresh code: one seen earlier (a photo, a screenshot) pairs nothing.
    codeSpent_ = true;
    pairing_ = true;
    renderConnected();
}

void ZelDesktopAgentApp::issueCode() {
    const std::string code = makePairingCode();
    std::string link;
    {
        const std::lock_guard lock(stateMutex_);
        if (tunnelURL_.empty()) {
            return;
        }
        token_ = code;
        zelURL_ = makePairingLink(tunnelURL_, code);
        link = zelURL_;
    }
    sendToAgent({{"type", "code"}, {"code", code}});
    display_.qrImage = makeQRCode(link);
    codeSpent_ = false;
    if (statusPrinter_) {
        statusPrinter_->ready(link);
    }
}

void ZelDesktopAgentApp::disconnectDevice(const std::string& device) {
    sendToAgent({{"type", "disconnect"}, {"device", device}});
}

void ZelDesktopAgentApp::removeDevice(const std::string& device) {
    sendToAgent({{"type", "remove"}, {"device", device}});
}

void ZelDesktopAgentApp::allowDevice(const std::string& device) {
    sendToAgent({{"type", "allow"}, {"device", device}});
}

void ZelDesktopAgentApp::setAllowTerminal(bool allow) {
    applySettings([allow](OwnerSettings& settings) { settings.allowTerminal = allow; });
}

void ZelDesktopAgentApp::setRequireConsent(bool require) {
    applySettings([require](OwnerSettings& settings) { settings.requireConsent = require; });
}

std::string ZelDesktopAgentApp::setPublicAddress(const PublicAddress& address) {
    PublicAddress checked;
    try {
        checked = checkedAddress(address);
    } catch (const AppError& error) {
        return error.message;
    }
    bool changed = false;
    applySettings([&](OwnerSettings& settings) {
        changed = settings.address != checked;
        settings.address = checked;
    });
    // A running connection moves to the new address at once.
    bool running = false;
    {
        const std::lock_guard lock(stateMutex_);
        running = serverProcess_ != nullptr || starting_;
    }
    if (changed && running) {
        stopProcesses();
        startConnection();
    }
    return {};
}

void ZelDesktopAgentApp::setStartAtLogin(bool on) {
    try {
        std::error_code error;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
        zel::setStartAtLogin(on, self);
    } catch (const std::exception& error) {
        appendLog(std::string("Autostart entry not changed: ") + error.what() + "\n");
    }
    display_.startAtLogin = startsAtLogin();
    renderWindow();
}

void ZelDesktopAgentApp::applySettings(const std::function<void(OwnerSettings&)>& change) {
    OwnerSettings settings;
    {
        const std::lock_guard lock(stateMutex_);
        change(settings_);
        settings = settings_;
    }
    display_.allowTerminal = settings.allowTerminal;
    display_.requireConsent = settings.requireConsent;
    display_.address = settings.address;
    try {
        saveOwnerSettings(settings);
    } catch (const std::exception& error) {
        appendLog(std::string("Settings not saved: ") + error.what() + "\n");
    }
    sendToAgent(settingsMessage(settings));
    renderWindow();
}

void ZelDesktopAgentApp::answerConsent(const std::string& request, bool allow) {
    sendToAgent({{"type", "consent"}, {"request", request}, {"allow", allow}});
}

} // namespace zel
