// The pairing QR code for a terminal, so that a machine without a monitor can pair from a
// terminal (or a screenshot of one): the window is drawn where nobody sees it there.
#pragma once

#include "app/display_model.hpp"

#include <cstdio>
#include <string>

namespace zel {

// The matrix as lines of UTF-8 half blocks ("▀▄█ "): a character is one module wide and two
// modules tall, so that a terminal's cell (about twice as tall as wide) gives square modules.
// The ink is the light modules, quiet zone included: the usual light-on-dark terminal shows dark
// modules on light ground. The half row past an odd-sized matrix stays unlit. Every line ends
// in "\n"; an empty text for a matrix whose module count does not match its size.
std::string renderTerminalQR(const QRMatrix& matrix);

// Told what the window shows, on the main queue: the pairing link once the connection is ready,
// the failure text when a start or a running connection fails.
class StatusPrinter {
public:
    virtual ~StatusPrinter() = default;
    virtual void ready(const std::string& link) = 0;
    virtual void failed(const std::string& message) = 0;
    // What the desktop said about the sharing (a refusal) while the connection is ready.
    virtual void consent(const std::string& text) = 0;
};

// What a stream that is not a terminal gets instead of the pairing.
inline constexpr const char* kPairingOnTerminalOnly =
    "配对二维码只显示在窗口和终端中（标准输出不是终端）。";

// Prints them to a stream, flushed at once. The pairing link and its QR lines go to a terminal
// only, drawn white on black so that a light colour theme does not invert them; a file or a pipe
// (the desktop's journal) gets the status alone.
class TerminalStatusPrinter final : public StatusPrinter {
public:
    // `consentHint`, where the desktop asks the user before sharing, follows the ready line.
    explicit TerminalStatusPrinter(std::FILE* out, std::string consentHint = {});
    void ready(const std::string& link) override;
    void failed(const std::string& message) override;
    void consent(const std::string& text) override;

private:
    std::FILE* out_;
    bool terminal_;
    std::string consentHint_;
};

} // namespace zel
