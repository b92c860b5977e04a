// The app's standard output as a person at a terminal meets it: its lines, and the half-block QR
// code read back from them into modules and into an image that zbarimg decodes, as a phone camera
// would from a screenshot of the terminal.
#pragma once

#include "tests/support/command.hpp"
#include "tests/support/temp_dir.hpp"

#include <algorithm>
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

// The first run of lines made only of half blocks and spaces (with at least one block).
inline std::vector<std::vector<HalfBlock>> terminalQRLines(const std::string& text) {
    static constexpr std::pair<std::string_view, HalfBlock> kCells[] = {
        {" ", {}}, {"█", {true, true}}, {"▀", {true, false}}, {"▄", {false, true}}};
    std::vector<std::vector<HalfBlock>> rows;
    std::istringstream lines(text);
    for (std::string raw; std::getline(lines, raw);) {
        std::string_view line = raw;
        std::vector<HalfBlock> cells;
        bool ink = false;
        while (!line.empty()) {
            const auto* cell = std::ranges::find_if(
                kCells, [&](const auto& c) { return line.starts_with(c.first); });
            if (cell == std::end(kCells)) {
                break;
            }
            cells.push_back(cell->second);
            ink = ink || cell->second.top || cell->second.bottom;
            line.remove_prefix(cell->first.size());
        }
        if (line.empty() && ink) {
            rows.push_back(std::move(cells));
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
