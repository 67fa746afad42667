// Conversion of the caller's points into the working cloud of the pipeline.
#pragma once

#include <vector>

#include "supervoxel/supervoxel_set.h"
#include "vela_base_offset.h"

namespace vela {

// One working point per input point that the frame of `offset` holds (see
// inFrame), in input order, each carrying its input index. The others are
// left out: they belong to no output. Width and height stay 0.
WorkCloud buildWorkCloud(const std::vector<VELA::SVPoint3d>& points, const BaseOffset& offset);

}  // namespace vela
