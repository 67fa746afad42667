#include "supervoxel/supervoxel_set.h"

#include "supervoxel/plane_fit.h"

namespace vela {

bool refitSegment(const SupervoxelSet& set, PlaneSegment& segment, bool fullFit)
{
    if (segment.members.empty()) return false;
    WorkCloud cloud = makeWorkCloud();
    std::size_t total = 0;
    for (const int m : segment.members) total += set.supervoxels[static_cast<std::size_t>(m)].cloud->points.size();
    cloud->points.reserve(total);
    for (const int m : segment.members) {
        const auto& points = set.supervoxels[static_cast<std::size_t>(m)].cloud->points;
        cloud->points.insert(cloud->points.end(), points.begin(), points.end());
    }
    fitPlaneDescriptor(cloud, segment.descriptor, fullFit);
    return true;
}

}  // namespace vela
