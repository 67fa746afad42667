// The distance from every point of a cloud to its nearest other point, all
// points at once, on the thread pool: build and queries both run in parallel.
#pragma once

#include <cstddef>
#include <vector>

#include "supervoxel/cl/geometry.h"

namespace vela {

// For each point, the smallest squared distance to any other point (0 for a
// duplicate), each distance evaluated in float as ((0 + dx*dx) + dy*dy) +
// dz*dz with d = query - point, so the minimum is bit for bit the one FLANN's
// exact search with L2_Simple<float> finds. -1 where there is no other point.
// Coordinates must be finite and small enough that such sums stay finite.
// `exactSearches`, when given, receives how many points the grid left to an
// exact search (the tree, or a scan of all points when they are few).
std::vector<float> nearestOtherSquaredDistances(const std::vector<cl::Point3D<float>>& points,
                                                std::size_t* exactSearches = nullptr);

}  // namespace vela
