// Conversion of the caller's points into the working cloud of the pipeline.
#pragma once

#include <vector>

#include "supervoxel/cl/geometry.h"
#include "supervoxel/supervoxel_set.h"
#include "vela_base_offset.h"

namespace vela {

// One working point per input point that the frame of `offset` holds (see
// inFrame), in input order, each carrying its input index. The others are
// left out: they belong to no output. Width and height stay 0.
WorkCloud buildWorkCloud(const std::vector<VELA::SVPoint3d>& points, const BaseOffset& offset);

// The coordinates of the caller's points, in input order: all that the
// outputs read of them once the working cloud is built.
using InputCoordinates = std::vector<cl::Point3D<double>>;

// Takes the coordinates out of `points`, which are released: a call keeps
// 24 bytes per input point over the run instead of 32.
InputCoordinates takeCoordinates(std::vector<VELA::SVPoint3d>& points);

}  // namespace vela
