// Conversion of the caller's points into the working cloud of the pipeline.
#pragma once

#include <vector>

#include "supervoxel/supervoxel_set.h"
#include "vela_base_offset.h"

namespace vela {

// One working point per finite input point, in input order, in the frame of
// `offset`, each carrying its input index. Non-finite points are left out:
// they belong to no output. Width and height stay 0.
WorkCloud buildWorkCloud(const std::vector<VELA::SVPoint3d>& points, const BaseOffset& offset);

}  // namespace vela
