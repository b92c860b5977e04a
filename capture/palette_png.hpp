// Low-colour tiles as palette PNG: exact, so text stays sharp, and small for text and flat areas.
#pragma once

#include "capture/image.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace zel {

// A tile as PNG with a palette when it has at most 256 colours, nothing otherwise.
std::optional<std::vector<std::uint8_t>> encodePalettePng(ConstPixelView pixels);

} // namespace zel
