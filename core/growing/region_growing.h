// Region growing: links touching planar supervoxels whose planes agree in
// angle and offset, and floods the links into plane segments.
#pragma once

#include <cstdint>
#include <vector>

#include "supervoxel/supervoxel_set.h"
#include "vela_plane.h"

namespace vela {

// Adds supervoxel `index` and every available supervoxel reachable from it
// through similarNeighbours to the segment, depth first in list order, and
// labels them with the segment's label. False when `index` was already taken.
bool floodSupervoxels(SupervoxelSet& set, PlaneSegment& segment, std::int32_t& remaining,
                      std::vector<std::uint8_t>& available, int index);

// Links the supervoxels (neighbour lists), floods them into plane segments
// with a full plane fit each, and adds the segment of independent points when
// the set has an independent record. Reads gamma and phid, both taken at
// `share` of their value, and theta (degrees). Always true.
bool growRegions(SupervoxelSet& set, SegmentSet& segments, const VELA::tag_VELAParameter& para, double share);

}  // namespace vela
