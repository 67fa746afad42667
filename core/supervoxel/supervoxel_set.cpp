#include "supervoxel/supervoxel_set.h"

#include "supervoxel/plane_fit.h"

namespace vela {

bool refitSegment(const SupervoxelSet& set, PlaneSegment& segment, bool fullFit)
{
    if (segment.members.empty()) return false;
    CloudRuns runs;
    runs.reserve(segment.members.size());
    for (const int m : segment.members) runs.push_back(set.supervoxels[static_cast<std::size_t>(m)].cloud.get());
    fitPlaneDescriptor(runs, segment.descriptor, fullFit);
    return true;
}

}  // namespace vela
