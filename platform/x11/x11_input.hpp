// The X11 input backend: XTest events over one kept connection, RandR bounds, the XTEST trust
// check.
#pragma once

#include "input/input_backend.hpp"

#include <memory>
#include <string_view>

namespace zel::x11 {

// The refusal when the X server cannot be reached or offers no XTEST.
inline constexpr std::string_view kNoXtestMessage =
    "无法控制键盘和鼠标：连不上 X 服务器，或它没有 XTEST 扩展。请在启用了 XTEST 的 X 会话中运行 "
    "Zel Desktop Agent（Xorg 和 Xvfb 默认启用；Xvfb 不要加 -extension XTEST）。";

// Connects lazily to $DISPLAY, so it never fails here: with no X server the trust check answers
// untrusted. Safe to use from several threads at once.
std::unique_ptr<zel::InputBackend> makeInputBackend();

} // namespace zel::x11
