// Display colours of planar patches. Every pass that colours items makes a
// generator of its own with the standard seed, so that the colour sequence is
// the same in every pass and every run; each item takes one 32-bit output.
// Points of no plane are white.
#pragma once

#include <cstdint>
#include <random>

#include "supervoxel/supervoxel_set.h"

namespace vela {

constexpr ColourRGB kNoPlaneColour{255, 255, 255};

// (r, g, b) = bits 16-23, 8-15 and 0-7 of one generator output.
inline ColourRGB colourFromOutput(std::uint32_t v)
{
    ColourRGB c;
    c.r = static_cast<std::uint8_t>((v >> 16) & 255u);
    c.g = static_cast<std::uint8_t>((v >> 8) & 255u);
    c.b = static_cast<std::uint8_t>(v & 255u);
    return c;
}

// The colours of one pass, in the order its items are coloured.
struct ColourSequence {
    std::mt19937 generator{5489u};
};

inline ColourRGB nextColour(ColourSequence& colours)
{
    return colourFromOutput(static_cast<std::uint32_t>(colours.generator()));
}

}  // namespace vela
