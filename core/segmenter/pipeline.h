// The stage sequence of a full segmentation call.
#pragma once

#include <cstdint>
#include <functional>

#include "supervoxel/supervoxel_set.h"
#include "vela_plane.h"

namespace vela {

// Called after each stage with its name, for benchmarks; never changes results.
using StageObserver = std::function<void(const char* stage)>;

// Multi-scale segmentation, RPS generation, RPS optimisation, region growing
// and segment merging of `cloud`, with their statistics on standard output.
// Stage failures are reported by the stages and do not stop the sequence.
// Once the first stage has cut `cloud`, it holds no points: the records of
// `set` hold their own.
bool runPipeline(WorkCloud cloud, SupervoxelSet& set, SegmentSet& segments, const VELA::tag_VELAParameter& p,
                 std::int32_t iter, const StageObserver* observer = nullptr);

// Fits every plane of `segments` to all its points: merging leaves the planes
// with their boxes only. The same fits as one after the other.
void refitPlanes(const SupervoxelSet& set, SegmentSet& segments);

}  // namespace vela
