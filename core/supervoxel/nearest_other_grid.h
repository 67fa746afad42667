// The first stage of the nearest-other-point search: a uniform grid that
// settles almost every point of a surface cloud from the few cells around it,
// leaving the rest to an exact tree search.
#pragma once

#include <cstddef>
#include <vector>

#include "supervoxel/cl/geometry.h"

namespace vela {
namespace detail {

// Exactly FLANN's L2_Simple<float>: ((0 + dx*dx) + dy*dy) + dz*dz, d = a - b.
inline float flannSquaredDistance(const float* a, const float* b)
{
    float result = 0.0f;
    float diff = a[0] - b[0];
    result += diff * diff;
    diff = a[1] - b[1];
    result += diff * diff;
    diff = a[2] - b[2];
    result += diff * diff;
    return result;
}

// Four floats, each lane computed with the scalar float operations.
typedef float Floats __attribute__((vector_size(16)));
constexpr std::size_t kLanes = 4;

// flannSquaredDistance lane by lane.
inline Floats flannSquaredDistances(Floats qx, Floats qy, Floats qz, Floats px, Floats py, Floats pz)
{
    const Floats dx = qx - px, dy = qy - py, dz = qz - pz;
    return ((Floats{} + dx * dx) + dy * dy) + dz * dz;
}

// For every point whose nearest other point lies provably within the 3x3x3
// block of cells around its own, writes that point's squared distance (as
// flannSquaredDistance evaluates it) to nearest[i]; writes NaN for every
// other point and returns how many those are. `nearest` must hold one slot a
// point; at least two points, all finite. Cells are cubes whose edges start
// at the smallest coordinate of each axis; their size adapts to the cloud
// unless `cellSize` is positive (tests place points on known edges with it).
std::size_t nearestOtherInGrid(const std::vector<cl::Point3D<float>>& points, std::vector<float>& nearest,
                               double cellSize = 0.0);

}  // namespace detail
}  // namespace vela
