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

// Appends the planar supervoxels (coloured from mt19937 seeded 5489, ids =
// positions) and leaves exactly one white record of independent points.
// False only when a cloud without points had to be cut (kappa <= 0).
// With `memory`: when every point of `cloud` is one the memory holds, the
// lists that still hold are taken over instead of searched again; once the
// first level is cut, the memory holds what was found for `cloud`.
bool segmentMultiScale(const WorkCloud& cloud, SupervoxelSet& set, double rmax, double rmin, double rdelta,
                       std::int32_t kappa, double phic, const LevelObserver* observer = nullptr,
                       NeighbourhoodMemory* memory = nullptr);

// One level at resolution r and, while it finds planar supervoxels, the finer
// levels on what is left; the last level's leftover goes to `independent`.
bool splitAtResolution(Supervoxel supervoxel, SupervoxelSet& set, double r, double rmin, double rdelta,
                       std::int32_t kappa, double phic, const LevelObserver* observer = nullptr);

}  // namespace vela
