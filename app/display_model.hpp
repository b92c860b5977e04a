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

// A square QR symbol: size × size modules, row-major, 1 = dark.
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
    // Shows the window, makes it active and brings it to the front.
    virtual void show() = 0;
    virtual void render(const DisplayModel& model) = 0;
};

} // namespace zel
