// Rigorous planar supervoxels: every planar supervoxel whose points stray
// further than tau from its plane is cut down to the inliers of its most
// meaningful plane until it fits; points cut away become independent points.
#pragma once

#include "supervoxel/supervoxel_set.h"

namespace vela {

// Always true. Supervoxels left without points are erased and the remaining
// ones renumbered by position; their points join the first independent record.
bool generateRPS(SupervoxelSet& set, int kappa, double tau, double epsilon);

}  // namespace vela
