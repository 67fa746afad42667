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
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t z = 0;
};

// Beyond this many thousands the multiple of 1000 no longer fits 64 bits.
constexpr double kOffsetThousandsLimit = 9.2e15;

// trunc(c / 1000) * 1000. Within the 32-bit range it is the same number as a
// 32-bit product; beyond, 64 bits keep map coordinates such as 2.2e9 near the
// origin of the frame. A coordinate that is not finite or too large even for
// 64 bits (|c| >= 9.2e18) gets 0.
inline std::int64_t baseOffsetComponent(double c)
{
    const double thousands = c / 1000.0;
    if (!(std::fabs(thousands) < kOffsetThousandsLimit)) return 0;
    return static_cast<std::int64_t>(thousands) * 1000;
}

// Whether a finite coordinate of `p` is too large for its offset: the frame
// then cannot bring it near the origin, and single precision keeps only its
// leading digits.
inline bool beyondOffsetRange(const VELA::SVPoint3d& p)
{
    for (double c : {p.x, p.y, p.z})
        if (std::isfinite(c) && !(std::fabs(c / 1000.0) < kOffsetThousandsLimit)) return true;
    return false;
}

inline bool isFinitePoint(const VELA::SVPoint3d& p)
{
    return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

inline BaseOffset baseOffsetOf(const VELA::SVPoint3d& p)
{
    return BaseOffset{baseOffsetComponent(p.x), baseOffsetComponent(p.y), baseOffsetComponent(p.z)};
}

// The point that chooses the frame: the first one with finite coordinates,
// since a point with a non-finite coordinate never takes part in the geometry.
// Null when there is none.
inline const VELA::SVPoint3d* framePoint(const std::vector<VELA::SVPoint3d>& points)
{
    for (const VELA::SVPoint3d& p : points)
        if (isFinitePoint(p)) return &p;
    return nullptr;
}

// The frame point's offset; 0 when there is no such point.
inline BaseOffset baseOffsetOf(const std::vector<VELA::SVPoint3d>& points)
{
    const VELA::SVPoint3d* first = framePoint(points);
    return first != nullptr ? baseOffsetOf(*first) : BaseOffset{};
}

// Subtraction in double, then narrowing: the order keeps the precision.
inline float shifted(double c, std::int64_t offset) { return static_cast<float>(c - static_cast<double>(offset)); }

// Shifted coordinates of at most 2^62 in magnitude: differences and squared
// distances of such values stay finite in single precision. A point beyond
// (a coordinate of 1e39 overflows float outright) is left out of the geometry
// like a point that is not finite.
constexpr double kFrameLimit = 4611686018427387904.0;

inline bool inFrame(const VELA::SVPoint3d& p, const BaseOffset& o)
{
    return std::fabs(p.x - static_cast<double>(o.x)) <= kFrameLimit &&
           std::fabs(p.y - static_cast<double>(o.y)) <= kFrameLimit &&
           std::fabs(p.z - static_cast<double>(o.z)) <= kFrameLimit;
}

}  // namespace vela
