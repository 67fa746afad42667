// Small hand-built clouds for the plane test and the RPS stage.
#pragma once

#include <cstdint>
#include <vector>

#include "supervoxel/supervoxel_set.h"

namespace vela_test {

inline vela::WorkPoint point(float x, float y, float z, std::uint32_t index)
{
    vela::WorkPoint p;
    p.x = x;
    p.y = y;
    p.z = z;
    p.rgba = index;
    return p;
}

inline vela::Supervoxel supervoxelOf(const std::vector<vela::WorkPoint>& points, double maxResidual = 0.0)
{
    vela::Supervoxel supervoxel;
    supervoxel.cloud = vela::makeWorkCloud();
    supervoxel.cloud->points.assign(points.begin(), points.end());
    vela::setRowShape(*supervoxel.cloud);
    supervoxel.descriptor.planar = 1;
    supervoxel.descriptor.maxResidual = maxResidual;
    return supervoxel;
}

inline std::vector<std::uint32_t> inputIndices(const vela::WorkCloud& cloud)
{
    std::vector<std::uint32_t> indices;
    if (cloud) {
        for (const vela::WorkPoint& p : cloud->points) indices.push_back(vela::inputIndex(p));
    }
    return indices;
}

}  // namespace vela_test
