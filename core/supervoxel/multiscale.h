// The first pipeline stage: supervoxels are cut at a coarse resolution, the
// planar ones kept, and the remaining points cut again at finer resolutions
// until a level yields nothing planar or the resolution reaches its bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "supervoxel/clustering.h"
#include "supervoxel/supervoxel_set.h"
#include "vela_plane.h"

namespace vela {

// What one cut level did, for benchmarks; never influences the result.
struct LevelReport {
    double resolution = 0.0;
    std::size_t points = 0;
    std::size_t clusters = 0;
    std::size_t planar = 0;
    double seconds = 0.0;
};
using LevelObserver = std::function<void(const LevelReport&)>;

// The neighbourhoods found for the points of a cloud that a call cut first,
// with the points they belong to, for a later call on some of those points.
struct NeighbourhoodMemory {
    struct Member {
        float x, y, z;
        std::uint32_t input;
    };
    std::vector<Member> members;
    Neighbourhoods hoods;
};

// Cuts at resolutions rmax, rmax * rdelta, ... while above rmin, keeping the
// clusters of at least kappa points that are planar (curvature up to phic);
// the other parameters are not read. Appends the planar supervoxels (coloured
// from mt19937 seeded 5489, ids = positions) and leaves exactly one white
// record of independent points. False only when a cloud without points had to
// be cut (kappa <= 0).
// With `memory`: when every point of `cloud` is one the memory holds, the
// lists that still hold are taken over instead of searched again; once the
// first level is cut, the memory holds what was found for `cloud`.
// While a level is cut its cloud holds no points. With `keepCloud` they are
// made again once the first level is split, with the same coordinates and
// input indices (the other fields of each point as a fresh WorkPoint has
// them); without, `cloud` holds no points on return once a level was cut
// (the records hold their own). Either way nobody else may read `cloud`
// during the call.
bool segmentMultiScale(const WorkCloud& cloud, SupervoxelSet& set, const VELA::tag_VELAParameter& para,
                       const LevelObserver* observer = nullptr, NeighbourhoodMemory* memory = nullptr,
                       bool keepCloud = true);

}  // namespace vela
