// The local single-precision frame: large map coordinates lose their
// centimetres when narrowed to float, so a per-axis multiple of 1000 taken
// from one point is subtracted (in double) first.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "vela_plane.h"

namespace vela {

struct BaseOffset {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t z = 0;
};

// trunc(c / 1000) * 1000 as a 32-bit int. A coordinate whose product would not
// fit (|c / 1000| >= 2147484) or that is not finite gets 0 instead of overflowing.
inline std::int32_t baseOffsetComponent(double c)
{
    const double thousands = c / 1000.0;
    if (!(std::fabs(thousands) < 2147484.0)) return 0;
    return static_cast<std::int32_t>(thousands) * 1000;
}

inline bool isFinitePoint(const VELA::SVPoint3d& p)
{
    return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

inline BaseOffset baseOffsetOf(const VELA::SVPoint3d& p)
{
    return BaseOffset{baseOffsetComponent(p.x), baseOffsetComponent(p.y), baseOffsetComponent(p.z)};
}

// The offset of the first point that takes part in the geometry: points with a
// non-finite coordinate never do, so they cannot choose the frame either.
// No such point: offset 0.
inline BaseOffset baseOffsetOf(const std::vector<VELA::SVPoint3d>& points)
{
    for (const VELA::SVPoint3d& p : points)
        if (isFinitePoint(p)) return baseOffsetOf(p);
    return BaseOffset{};
}

// Subtraction in double, then narrowing: the order keeps the precision.
inline float shifted(double c, std::int32_t offset) { return static_cast<float>(c - offset); }

}  // namespace vela
