// The fusion of points into supervoxels and the refinement of their
// boundaries: the records the fusion keeps per point, and one entry point per
// record type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "supervoxel/cl/array.h"
#include "supervoxel/cl/geometry.h"
#include "supervoxel/packed_lists.h"

namespace vela {
namespace detail {

// What the fusion reads of a cluster when it weighs it, in one cache line:
// the coordinates and normal of its root point for the distance, its size,
// and its work list; `nearest`, read once per walk by the walker only, is
// kept apart. The union-find links and the marks of a walk, which
// every entry of every list reads, are kept apart in compact arrays.
//
// A work list holds clusters, and reading it yields their current roots. A
// cluster is as well named by any of its points as by the root it had when
// it was listed, so the entries that a point's walk kept from its own
// neighbour list are kept as bits over that list (its first neighbour that
// led to each) instead of being copied out; only the entries that came from
// fused clusters go to the tail buffer. The first pass, which rejects most
// of what it meets, thus copies almost nothing.
struct alignas(64) FusionPoint {
    double x, y, z;
    double nx, ny, nz;
    int size;
    int tail;                // the explicit rest of the work list, in the tail buffer; -1: none yet
    std::uint16_t ownMask;   // bit k: neighbour k of the point's own list is listed, in bit order, before the tail
    std::uint8_t inert;      // normal not a number: every distance to it is not a number
};
static_assert(sizeof(FusionPoint) == 64, "a fusion point fills one cache line");

// The same for points whose coordinates are all floats, as a level's cloud
// gives them: widened back they are the same doubles, and the record takes
// three quarters of the room.
struct alignas(16) FloatFusionPoint {
    double nx, ny, nz;
    float x, y, z;
    int size;
    int tail;
    std::uint16_t ownMask;
    std::uint8_t inert;
};
static_assert(sizeof(FloatFusionPoint) == 48, "a float fusion point takes three quarters of a cache line");

// Whether every coordinate is a float widened: such points fuse on
// FloatFusionPoint records with the same results.
template <typename PointAt>
bool allFloatCoordinates(std::size_t n, PointAt pointAt)
{
    bool exact = true;
    for (std::size_t i = 0; i < n; ++i) {
        const cl::Point3D<double>& p = pointAt(i);
        exact &= static_cast<double>(static_cast<float>(p.x)) == p.x && static_cast<double>(static_cast<float>(p.y)) == p.y &&
                 static_cast<double>(static_cast<float>(p.z)) == p.z;
    }
    return exact;
}

// Exact for FloatFusionPoint only when the coordinates are floats widened.
template <typename Record>
void setCoordinates(Record& p, const cl::Point3D<double>& point)
{
    using Coordinate = decltype(p.x);
    p.x = static_cast<Coordinate>(point.x);
    p.y = static_cast<Coordinate>(point.y);
    p.z = static_cast<Coordinate>(point.z);
}

template <typename Record>
void setNormal(Record& p, const cl::Vector3D<double>& normal)
{
    p.nx = normal.x;
    p.ny = normal.y;
    p.nz = normal.z;
}

template <typename Record>
inline cl::Point3D<double> coordinatesOf(const Record& p) { return cl::Point3D<double>(p.x, p.y, p.z); }

// The fusion and refinement of points whose coordinates and normals are in
// `points` (the other fields are the fusion's own); `points` is handed back
// as the fusion left it. Made for FusionPoint and FloatFusionPoint.
template <typename Record>
void mergePrepared(std::vector<Record>& points, const PackedLists& neighbours, int target, double r,
                   cl::Array<int>& labels, cl::Array<int>& supervoxels);

}  // namespace detail
}  // namespace vela
