// Segment merging: the second pass of region growing, which links touching
// plane segments that pass the merge test and floods them into merged
// segments with box-only descriptors.
#pragma once

#include <cstdint>
#include <vector>

#include "supervoxel/supervoxel_set.h"
#include "vela_plane.h"

namespace vela {

// Adds the members of segment `index` of segments.planes, and those of every
// available segment reachable from it through similarNeighbours, to `merged`,
// depth first in list order, and labels those supervoxels with the merged
// segment's label. False when `index` was already taken.
bool floodSegments(SupervoxelSet& set, const SegmentSet& segments, PlaneSegment& merged,
                   std::int32_t& remaining, std::vector<std::uint8_t>& available, int index);

// Replaces segments.planes by the merged segments (box and box centre only;
// planes are fitted when the result is converted). Reads gamma, phid and
// theta (degrees). Always true.
bool mergeSegments(SupervoxelSet& set, SegmentSet& segments, const VELA::tag_VELAParameter& para);

}  // namespace vela
