// Mean point spacing: the average distance from each point to its nearest
// other point, which scales every threshold of the segmentation.
#include <cmath>
#include <iostream>
#include <vector>

#include "segmenter/frame_copy.h"
#include "supervoxel/cl/geometry.h"
#include "supervoxel/nearest_other.h"
#include "supervoxel/thread_pool.h"
#include "vela_base_offset.h"
#include "vela_plane.h"

namespace VELA {
namespace {

// The points that take part in the geometry, in the frame, in input order.
std::vector<cl::Point3D<float>> frameOf(const std::vector<SVPoint3d>& points, const vela::BaseOffset& offset)
{
    std::vector<cl::Point3D<float>> frame;
    vela::copyInFrame(points, offset, frame, [&](std::size_t i) {
        const SVPoint3d& p = points[i];
        return cl::Point3D<float>(vela::shifted(p.x, offset.x), vela::shifted(p.y, offset.y), vela::shifted(p.z, offset.z));
    });
    return frame;
}

}  // namespace

double VELA_Plane::get_mu(std::vector<SVPoint3d> points) const
{
    const vela::BaseOffset offset = vela::baseOffsetOf(points);
    const std::vector<cl::Point3D<float>> frame = frameOf(points, offset);
    points.clear();
    points.shrink_to_fit();

    // Summed in point order: the order of the sum is part of the result's
    // last bits. Each distance is narrowed to float by its root, as a float
    // search gives it.
    std::vector<float> distances = vela::nearestOtherSquaredDistances(frame);
    vela::parallelFor(distances.size(), 1 << 16, [&](std::size_t i) {
        if (distances[i] >= 0.0f) distances[i] = std::sqrt(distances[i]);
    });
    double sum = 0.0;
    std::size_t count = 0;
    for (const float d : distances) {
        if (d < 0.0f) continue;  // no other point
        sum += static_cast<double>(d);
        ++count;
    }
    const double mu = count > 0 ? sum / static_cast<double>(count) : 0.0;

    std::cout << "the mu of input point cloud is: " << mu << std::endl;
    return mu;
}

}  // namespace VELA
