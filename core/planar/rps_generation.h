// Rigorous planar supervoxels: every planar supervoxel whose points stray
// further than tau from its plane is cut down to the inliers of its most
// meaningful plane until it fits; points cut away become independent points.
#pragma once

#include "supervoxel/supervoxel_set.h"
#include "vela_plane.h"

namespace vela {

// Tests every planar supervoxel whose largest residual exceeds tau with
// ORSA_Planar (kappa, tau, epsilon; the other parameters are not read).
// Always true. Supervoxels left without points are erased and the remaining
// ones renumbered by position; their points join the first independent record.
bool generateRPS(SupervoxelSet& set, const VELA::tag_VELAParameter& para);

}  // namespace vela
