// The wlroots Wayland input backend: one virtual pointer and one virtual keyboard with a keymap
// of our own, kept for the life of the connection; the trust check asks for their protocols.
#pragma once

#include "input/input_backend.hpp"

#include <memory>
#include <string>
#include <string_view>

namespace zel::wayland {

// The refusal when the compositor cannot be reached or lacks the virtual input protocols.
inline constexpr std::string_view kNoVirtualInputMessage =
    "无法控制键盘和鼠标：Wayland 合成器没有提供虚拟指针和虚拟键盘协议"
    "（zwlr_virtual_pointer_manager_v1、zwp_virtual_keyboard_manager_v1）。请使用支持它们的合成器"
    "（sway、Hyprland、labwc 等）；在 GNOME 和 KDE 上应用会改用桌面门户，请重新打开应用。";

// Connects lazily to the socket ($WAYLAND_DISPLAY when empty), so it never fails here: with no
// compositor, or one without the virtual input protocols, the trust check answers untrusted.
std::unique_ptr<InputBackend> makeInputBackend(const std::string& socket = {});

} // namespace zel::wayland
