// Boundary-preserving supervoxel clustering of one point set at one
// resolution: every point starts as its own cluster, neighbouring clusters
// are fused greedily under a cost bound that doubles each pass until the
// number of clusters equals the number of occupied grid cells, and the
// boundaries are then refined point by point.
//
// After Lin, Wang, Li, Fang, Li, Wang, "Toward better boundary preserved
// supervoxel segmentation for 3D point clouds", ISPRS J. 2018.
#pragma once

#include <cstddef>

#include "supervoxel/cl/array.h"
#include "supervoxel/cl/geometry.h"

namespace vela {

// Neighbours per point: the point itself and its 14 nearest.
constexpr int kNeighbourCount = 15;

// Closed-form PCA normal of a small point set (unit length, sign as the cross
// product gives it). Not a number when the covariance has no spread.
cl::Vector3D<double> estimateNormal(const cl::Point3D<double>* points, std::size_t count);
inline cl::Vector3D<double> estimateNormal(const cl::Array<cl::Point3D<double>>& points)
{
    return estimateNormal(points.data(), points.size());
}

// Number of distinct cells of size r (grid anchored at the bounding-box
// minimum) that hold at least one point.
int countOccupiedVoxels(const cl::Array<cl::tag_PointWithNormal>& points, double r);

// 1 - |ni . nj| + 0.4 |pi - pj| / r: orientation-free normal disagreement
// plus distance in units of the resolution.
double supervoxelDistance(const cl::tag_PointWithNormal& a, const cl::tag_PointWithNormal& b, double r);

// Cuts `points` (taken over) into supervoxels of resolution r. `supervoxels`
// receives one representative point index per supervoxel in ascending order,
// `labels` per point the position of its supervoxel in that list.
bool clusterSupervoxels(cl::Array<cl::Point3D<double>> points, double r, cl::Array<int>& labels,
                        cl::Array<int>& supervoxels);

// The fusion and refinement on prepared input: `neighbours` holds
// kNeighbourCount entries per point (-1 for missing ones), `target` the wanted
// number of clusters.
void mergeSupervoxels(const cl::Array<cl::tag_PointWithNormal>& points, const cl::Array<int>& neighbours,
                      int target, double r, cl::Array<int>& labels, cl::Array<int>& supervoxels);

}  // namespace vela
