// The app's standard output as a person at a terminal meets it: its lines, and the half-block QR
// code read back from them into modules and into an image that zbarimg decodes, as a phone camera
// would from a screenshot of the terminal.
#pragma once

#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace zel::test {

// The first line that starts with `prefix`, or nothing.
inline std::optional<std::string> lineStartingWith(const std::string& text,
                                                   std::string_view prefix) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(prefix, 0) == 0) {
            return line;
        }
    }
    return std::nullopt;
}

// One terminal cell of the QR code: which halves carry ink (light modules).
struct HalfBlock {
    bool top = false;
    bool bottom = false;
};

// The cells of one line when it holds only half blocks and spaces (and at least one block).
inline std::optional<std::vector<HalfBlock>> halfBlockLine(std::string_view line) {
    static constexpr std::string_view kFull = "█", kUpper = "▀", kLower = "▄";
    std::vector<HalfBlock> cells;
    bool ink = false;
    while (!line.empty()) {
        if (line.front() == ' ') {
            cells.push_back({});
            line.remove_prefix(1);
        } else if (line.starts_with(kFull)) {
            cells.push_back({true, true});
            line.remove_prefix(kFull.size());
        } else if (line.starts_with(kUpper)) {
            cells.push_back({true, false});
            line.remove_prefix(kUpper.size());
        } else if (line.starts_with(kLower)) {
            cells.push_back({false, true});
            line.remove_prefix(kLower.size());
        } else {
            return std::nullopt;
        }
        ink = ink || cells.back().top || cells.back().bottom;
    }
    if (!ink) {
        return std::nullopt;
    }
    return cells;
}

// The first run of half-block lines in the text.
inline std::vector<std::vector<HalfBlock>> terminalQRLines(const std::string& text) {
    std::vector<std::vector<HalfBlock>> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (auto cells = halfBlockLine(line)) {
            rows.push_back(std::move(*cells));
        } else if (!rows.empty()) {
            break;
        }
    }
    return rows;
}

// What zbarimg reads from the lines drawn as a terminal draws them: cells `scale` pixels wide and
// twice that tall, ink white on a black terminal; empty when it finds no code.
inline std::string decodeTerminalQR(const std::vector<std::vector<HalfBlock>>& rows,
                                    const std::filesystem::path& image, int scale = 6) {
    if (rows.empty()) {
        return {};
    }
    const std::size_t width = rows.front().size() * static_cast<std::size_t>(scale);
    const std::size_t height = rows.size() * 2 * static_cast<std::size_t>(scale);
    std::string pixels;
    for (const auto& row : rows) {
        for (const bool top : {true, false}) {
            std::string line;
            for (const HalfBlock cell : row) {
                line.append(static_cast<std::size_t>(scale),
                            (top ? cell.top : cell.bottom) ? '\xff' : '\0');
            }
            line.resize(width, '\0'); // a short line leaves the terminal's background
            for (int i = 0; i < scale; ++i) {
                pixels += line;
            }
        }
    }
    std::ofstream(image, std::ios::binary) << "P5\n"
                                           << width << ' ' << height << "\n255\n"
                                           << pixels;
    const auto decoded = runCommand({"zbarimg", "--quiet", "--raw", image.string()});
    return decoded.exitStatus == 0 ? decoded.output.substr(0, decoded.output.find('\n')) : "";
}

} // namespace zel::test
