// The plane fit that describes every patch of points: bounding box and box
// centre (box-only update), or additionally centroid, eigenvalue shape
// features, unit normal, offset, curvature and largest residual (full fit).
#pragma once

#include <vector>

#include "supervoxel/supervoxel_set.h"

namespace vela {

// Always true. The box-only update (fullFit false) writes boxMin, boxMax and
// the box centre and leaves every other field alone.
bool fitPlaneDescriptor(const WorkCloud& cloud, PlaneDescriptor& descriptor, bool fullFit);

// The points of several clouds, one after another.
using CloudRuns = std::vector<const pcl::PointCloud<WorkPoint>*>;

// The same fit of the clouds' points taken in order, as if joined in one
// cloud, without joining them.
void fitPlaneDescriptor(const CloudRuns& runs, PlaneDescriptor& descriptor, bool fullFit);

// fitPlaneDescriptor on the supervoxel's own cloud and descriptor.
bool refitSupervoxel(Supervoxel& supervoxel, bool fullFit);

}  // namespace vela
