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
#include <cstdint>
#include <functional>
#include <vector>

#include "supervoxel/cl/array.h"
#include "supervoxel/cl/geometry.h"

namespace vela {

// Neighbours per point: the point itself and its 14 nearest.
constexpr int kNeighbourCount = 15;

// Points per task of the per-point loops: enough to outweigh handing a task over.
constexpr std::size_t kPointGrain = 1024;

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

// Per point of a cloud: its neighbour list (kNeighbourCount entries), whether
// the list is separated (its points at distinct distances, all nearer than any
// other point of the cloud) and, for a separated list, the normal estimated
// from it. A separated list all of whose points are still in a smaller cloud
// is the list there too, and so is the normal.
struct Neighbourhoods {
    cl::Array<int> lists;
    cl::Array<cl::Vector3D<double>> normals;
    cl::Array<std::uint8_t> separated;
};

// Point i of a cloud, as the clustering holds it.
using PointSource = std::function<cl::Point3D<double>(std::size_t i)>;

// The neighbourhoods of a smaller cloud made of the points kept[0], kept[1],
// ... of the cloud `hoods` describes, whose points `pointAt` gives: lists
// renumbered, a list that lost a point no longer marked separated, and the
// normals of the separated ones, taken over when `hoods` holds a normal per
// point and made afresh from their points otherwise.
Neighbourhoods carryNeighbourhoods(const Neighbourhoods& hoods, const std::vector<std::size_t>& kept,
                                   const PointSource& pointAt);

// Cuts `points` (taken over) into supervoxels of resolution r. `supervoxels`
// receives one representative point index per supervoxel in ascending order,
// `labels` per point the position of its supervoxel in that list.
// With `carried`: when it holds an entry per point (lists in this cloud's
// numbering; a list with a point not in the cloud must not be marked
// separated), the separated lists are taken over where this cloud's tree
// confirms them; on return it holds this cloud's lists and separation marks,
// and with `keepNormals` a normal per point. Keeping them costs 24 bytes a
// point beside the fusion's records at the end of the cut; making the
// carried ones afresh costs a normal estimate per carried point. Without
// `keepNormals` the lists are also held in half their room from the search
// to the end of the fusion, which costs some time.
// With `rounded`: on return it holds the points' coordinates narrowed to
// float, in point order, so that a caller whose coordinates came from floats
// need not hold its own copy during the cut.
bool clusterSupervoxels(cl::Array<cl::Point3D<double>> points, double r, cl::Array<int>& labels,
                        cl::Array<int>& supervoxels, Neighbourhoods* carried = nullptr, bool keepNormals = false,
                        cl::Array<cl::Point3D<float>>* rounded = nullptr);

// The fusion and refinement on prepared input: `neighbours` holds
// kNeighbourCount entries per point (-1 for missing ones), `target` the wanted
// number of clusters.
void mergeSupervoxels(const cl::Array<cl::tag_PointWithNormal>& points, const cl::Array<int>& neighbours,
                      int target, double r, cl::Array<int>& labels, cl::Array<int>& supervoxels);

}  // namespace vela
