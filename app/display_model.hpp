// What the window shows: a plain model that the view layer mirrors, changed only on the main queue.
#pragma once

#include "supervisor/public_address.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zel {

inline constexpr const char* kIdleStatus = "未开启";
inline constexpr const char* kIdleDetail =
    "点击开启后扫码连接。权限会在首次查看屏幕或操作电脑时由系统自动提示。";
inline constexpr const char* kButtonStart = "开启";
inline constexpr const char* kButtonStop = "关闭";
inline constexpr const char* kButtonStarting = "开启中...";
inline constexpr const char* kFailedStatus = "启动失败";
inline constexpr const char* kReadyStatus = "已就绪，打开 Zel 扫码连接";
inline constexpr const char* kReadyDetail = "保持这个窗口打开，手机就可以连接这台电脑。";
// Added to the ready line where the desktop asks the user before sharing (the desktop portal).
inline constexpr const char* kPortalConsentHint =
    "如果屏幕上出现“屏幕共享”或“远程桌面”对话框，请先点一下对话框，再选择监视器、打开“允许远程交互”"
    "并点击“分享”，手机才能查看和操作这台电脑。";
inline constexpr const char* kServerStepStatus = "正在启动本机服务...";
inline constexpr const char* kServerStepDetail = "这一步只在本机运行，不会展示技术日志。";
inline constexpr const char* kTunnelStepStatus = "正在创建公网连接...";
inline constexpr const char* kTunnelStepDetail = "Cloudflare Tunnel 建立后会显示二维码。";
// Failures of the helpers after their start (the start's own failures show their error's text).
inline constexpr const char* kTunnelFailedDetail = "公网连接创建失败，请检查网络后重新开启。";
inline constexpr const char* kTunnelTimeoutDetail = "公网连接创建超时，请检查网络后重新开启。";
inline constexpr const char* kTunnelLostDetail = "公网连接已断开，请重新开启。";
inline constexpr const char* kServerCrashedDetail = "本机服务多次意外退出，请重新开启。";

// Once a device has paired, the code leaves the screen (screenshots and the live view would carry
// it); a button brings a fresh one back for the next device.
inline constexpr const char* kConnectedDetail = "配对码已隐藏，截图和画面里不会出现。";
inline constexpr const char* kPairAnotherStatus = "扫码配对另一台设备";
inline constexpr const char* kPairAnotherDetail = "这个二维码只能配对一台设备，10 分钟内有效。";
inline constexpr const char* kPairButton = "配对新设备";
inline constexpr const char* kHidePairButton = "隐藏二维码";
inline constexpr const char* kDisconnectButton = "断开";
inline constexpr const char* kRemoveButton = "移除";
inline constexpr const char* kAllowButton = "允许";
inline constexpr const char* kAllowTerminalSwitch = "允许终端和命令";
inline constexpr const char* kRequireConsentSwitch = "新设备需我确认";
inline constexpr const char* kSettingsButton = "连接设置…";
inline constexpr const char* kStartAtLoginSwitch = "登录时自动开启";
// "已连接 N 台设备" while some of the trusted devices are online, else "已配对 N 台设备".
std::string connectedStatus(std::size_t online, std::size_t trusted);

// A square QR symbol with its white quiet zone: size × size modules, row-major, 1 = dark.
struct QRMatrix {
    int size = 0;
    std::vector<std::uint8_t> modules;

    friend bool operator==(const QRMatrix&, const QRMatrix&) = default;
};

// One paired device as the window lists it.
struct DeviceRow {
    std::string id;
    std::string name;
    // Its state and what it has open, e.g. "在线 · 实时画面、终端 · 14:02 配对", "离线 · 最后在线
    // 12-05 09:30", "已断开，等待你允许".
    std::string detail;
    // Cut off by the owner (断开): the row offers 允许 in place of 断开.
    bool cutOff = false;
    bool online = false;

    friend bool operator==(const DeviceRow&, const DeviceRow&) = default;
};

struct DisplayModel {
    std::string statusText = kIdleStatus;
    std::string detailText = kIdleDetail;
    // What to do in the desktop's sharing dialogs while the connection is ready, shown whole under
    // the detail; empty where the desktop does not ask.
    std::string consentText;
    bool qrHidden = true;
    std::optional<QRMatrix> qrImage;
    bool buttonEnabled = true;
    std::string buttonTitle = kButtonStart;
    // While the connection is ready.
    std::vector<DeviceRow> devices;
    bool pairButtonShown = false;
    std::string pairButtonTitle = kPairButton;
    // The owner's switches, always shown.
    bool allowTerminal = true;
    bool requireConsent = false;
    // The owner's choice of address, as the settings hold it, and whether the app starts at login.
    PublicAddress address;
    bool startAtLogin = false;

    friend bool operator==(const DisplayModel&, const DisplayModel&) = default;
};

// The view layer: the Qt window on the desktop, nothing in tests.
class WindowView {
public:
    virtual ~WindowView() = default;
    // Shows the window, makes it active and brings it to the front (also when it was closed).
    virtual void show() = 0;
    virtual void render(const DisplayModel& model) = 0;
    // A desktop notification; nothing where the desktop offers none.
    virtual void notify(const std::string& /*title*/, const std::string& /*body*/) {}
    // Asks the owner whether the named device may pair; the answer goes to the window's consent
    // action. endConsent closes the question unanswered (its time is over).
    virtual void askConsent(const std::string& /*request*/, const std::string& /*name*/) {}
    virtual void endConsent(const std::string& /*request*/) {}
};

// What the window's controls do; each runs on the main queue.
struct WindowActions {
    std::function<void()> toggle;
    std::function<void()> pairAnother;
    std::function<void(const std::string& device)> disconnect;
    std::function<void(const std::string& device)> remove;
    std::function<void(const std::string& device)> allow;
    std::function<void(bool)> allowTerminal;
    std::function<void(bool)> requireConsent;
    std::function<void(const std::string& request, bool allow)> consent;
    // Answers why the address cannot work, or empty once it is taken.
    std::function<std::string(const PublicAddress& address)> setAddress;
    std::function<void(bool)> startAtLogin;
};

} // namespace zel
