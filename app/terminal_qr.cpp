#include "app/terminal_qr.hpp"

#include "app/pairing.hpp"

#include <cstddef>
#include <string_view>
#include <unistd.h>
#include <utility>

namespace zel {
namespace {

constexpr std::string_view kUpperHalf = "▀";
constexpr std::string_view kLowerHalf = "▄";
constexpr std::string_view kFullBlock = "█";
constexpr std::string_view kWhiteOnBlack = "\x1b[97;40m";
constexpr std::string_view kResetColours = "\x1b[0m";

void write(std::FILE* out, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), out);
}

} // namespace

std::string renderTerminalQR(const QRMatrix& matrix) {
    const auto side = static_cast<std::size_t>(matrix.size);
    if (matrix.size <= 0 || matrix.modules.size() != side * side) {
        return {};
    }
    const auto light = [&](std::size_t x, std::size_t y) {
        return y < side && matrix.modules[y * side + x] == 0;
    };
    std::string text;
    for (std::size_t y = 0; y < side; y += 2) {
        for (std::size_t x = 0; x < side; ++x) {
            const bool top = light(x, y);
            const bool bottom = light(x, y + 1);
            if (top && bottom) {
                text += kFullBlock;
            } else if (top) {
                text += kUpperHalf;
            } else if (bottom) {
                text += kLowerHalf;
            } else {
                text += ' ';
            }
        }
        text += '\n';
    }
    return text;
}

TerminalStatusPrinter::TerminalStatusPrinter(std::FILE* out, std::string consentHint)
    : out_(out), terminal_(::isatty(::fileno(out)) == 1), consentHint_(std::move(consentHint)) {}

void TerminalStatusPrinter::ready(const std::string& link) {
    write(out_, std::string("\n") + kReadyStatus + "\n");
    if (!consentHint_.empty()) {
        write(out_, consentHint_ + "\n");
    }
    // A file or a pipe is a journal or a log that others may read: the pairing code stays out.
    if (!terminal_) {
        write(out_, std::string(kPairingOnTerminalOnly) + "\n\n");
        std::fflush(out_);
        return;
    }
    if (const auto matrix = makeQRCode(link)) {
        const std::string lines = renderTerminalQR(*matrix);
        for (std::size_t start = 0; start < lines.size();) {
            const std::size_t end = lines.find('\n', start);
            const std::string_view line(lines.data() + start, end - start);
            if (terminal_) {
                write(out_, kWhiteOnBlack);
                write(out_, line);
                write(out_, kResetColours);
            } else {
                write(out_, line);
            }
            write(out_, "\n");
            start = end + 1;
        }
    }
    write(out_, link + "\n\n");
    std::fflush(out_);
}

void TerminalStatusPrinter::consent(const std::string& text) {
    write(out_, text + "\n");
    std::fflush(out_);
}

void TerminalStatusPrinter::failed(const std::string& message) {
    write(out_, std::string(kFailedStatus) + "：" + message + "\n");
    std::fflush(out_);
}

} // namespace zel
