// What the window shows: a plain model that the view layer mirrors, changed only on the main queue.
#pragma once

#include <cstdint>
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
    "如果屏幕上出现“共享屏幕”或“远程桌面”对话框，请选择显示器、打开“允许远程交互”并点击“共享”，"
    "手机才能查看和操作这台电脑。";
inline constexpr const char* kServerStepStatus = "正在启动本机服务...";
inline constexpr const char* kServerStepDetail = "这一步只在本机运行，不会展示技术日志。";
inline constexpr const char* kTunnelStepStatus = "正在创建公网连接...";
inline constexpr const char* kTunnelStepDetail = "Cloudflare Tunnel 建立后会显示二维码。";
// Failures of the helpers after their start (the start's own failures show their error's text).
inline constexpr const char* kTunnelFailedDetail = "公网连接创建失败，请检查网络后重新开启。";
inline constexpr const char* kTunnelTimeoutDetail = "公网连接创建超时，请检查网络后重新开启。";
inline constexpr const char* kTunnelLostDetail = "公网连接已断开，请重新开启。";
inline constexpr const char* kServerCrashedDetail = "本机服务多次意外退出，请重新开启。";

// A square QR symbol with its white quiet zone: size × size modules, row-major, 1 = dark.
struct QRMatrix {
    int size = 0;
    std::vector<std::uint8_t> modules;

    friend bool operator==(const QRMatrix&, const QRMatrix&) = default;
};

struct DisplayModel {
    std::string statusText = kIdleStatus;
    std::string detailText = kIdleDetail;
    bool qrHidden = true;
    std::optional<QRMatrix> qrImage;
    bool buttonEnabled = true;
    std::string buttonTitle = kButtonStart;

    friend bool operator==(const DisplayModel&, const DisplayModel&) = default;
};

// The view layer: the Qt window on the desktop, nothing in tests.
class WindowView {
public:
    virtual ~WindowView() = default;
    // Shows the window, makes it active and brings it to the front (also when it was closed).
    virtual void show() = 0;
    virtual void render(const DisplayModel& model) = 0;
};

} // namespace zel
