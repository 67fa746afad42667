// The containers every pipeline stage reads and changes: supervoxels (point
// patches), plane segments grown from them, and the descriptor both carry.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

namespace vela {

// Points in the shifted single-precision frame. The 32-bit colour field is not
// a colour: it carries the point's index in the caller's input vector, so that
// results can be mapped back to full-precision input points.
using WorkPoint = pcl::PointXYZRGB;
using WorkCloud = pcl::PointCloud<WorkPoint>::Ptr;

inline WorkCloud makeWorkCloud() { return WorkCloud(new pcl::PointCloud<WorkPoint>); }

inline std::uint32_t inputIndex(const WorkPoint& p) { return p.rgba; }

// Marks a cloud as one row of its current size, as every stage leaves its clouds.
inline void setRowShape(pcl::PointCloud<WorkPoint>& cloud)
{
    cloud.width = static_cast<std::uint32_t>(cloud.points.size());
    cloud.height = 1;
}

struct NormalF {
    float a = 0.0f;
    float b = 0.0f;
    float c = 0.0f;
};

struct ColourRGB {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
};

struct PlaneDescriptor {
    std::int32_t label = 0;   // segment index; -1 for the segment of independent points
    WorkPoint boxMin;         // x, y, z used
    WorkPoint boxMax;
    WorkPoint centre;         // box centre or centroid, depending on the last fit
    NormalF normal;
    float curvatureF = 0.0f;
    std::int32_t planar = 0;  // 1 planar supervoxel, 0 independent points
    ColourRGB colour;
    double linearity = 0.0;
    double planarity = 0.0;
    double scattering = 0.0;
    double d = 0.0;           // a*x + b*y + c*z + d = 0 in shifted coordinates
    double curvature = 0.0;
    double maxResidual = 0.0;
};

struct Supervoxel {
    WorkCloud cloud;          // shared between copies of the record
    PlaneDescriptor descriptor;
    std::int32_t id = 0;      // position in the vector it was appended to
    std::vector<int> similarNeighbours;
    std::vector<int> otherNeighbours;
};

struct PlaneSegment {
    PlaneDescriptor descriptor;
    std::vector<int> members;  // supervoxel ids (planes) or independent records (others)
    std::vector<int> similarNeighbours;
    std::vector<int> otherNeighbours;
};

struct SupervoxelSet {
    std::vector<Supervoxel> supervoxels;
    std::vector<Supervoxel> independent;
    std::int32_t planarCount = 0;
    std::int32_t nonplanarCount = 0;
};

struct SegmentSet {
    std::vector<PlaneSegment> planes;
    std::vector<PlaneSegment> others;
    std::int32_t planarCount = 0;
    std::int32_t nonplanarCount = 0;
};

}  // namespace vela

namespace vela {

// Fits the segment's descriptor to the union of its members' points (member
// order, cloud order). False, with nothing changed, when it has no members.
bool refitSegment(const SupervoxelSet& set, PlaneSegment& segment, bool fullFit);

}  // namespace vela
