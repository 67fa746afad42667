// Mean point spacing: the average distance from each point to its nearest
// other point, which scales every threshold of the segmentation.
#include <cmath>
#include <iostream>
#include <vector>

#include "supervoxel/cl/geometry.h"
#include "supervoxel/cl/large_pages.h"
#include "supervoxel/nearest_other.h"
#include "vela_base_offset.h"
#include "vela_plane.h"

namespace VELA {

double VELA_Plane::get_mu(std::vector<SVPoint3d> points) const
{
    const vela::BaseOffset offset = vela::baseOffsetOf(points);
    std::vector<cl::Point3D<float>> frame;
    cl::reserveOnLargePages(frame, points.size());
    for (const SVPoint3d& p : points) {
        if (!vela::inFrame(p, offset)) continue;  // takes no part in the geometry
        frame.emplace_back(vela::shifted(p.x, offset.x), vela::shifted(p.y, offset.y), vela::shifted(p.z, offset.z));
    }
    points.clear();
    points.shrink_to_fit();

    // Summed in point order: the order of the sum is part of the result's
    // last bits. Each distance is narrowed to float by its root, as a float
    // search gives it.
    const std::vector<float> squared = vela::nearestOtherSquaredDistances(frame);
    double sum = 0.0;
    std::size_t count = 0;
    for (const float d : squared) {
        if (d < 0.0f) continue;  // no other point
        sum += static_cast<double>(std::sqrt(d));
        ++count;
    }
    const double mu = count > 0 ? sum / static_cast<double>(count) : 0.0;

    std::cout << "the mu of input point cloud is: " << mu << std::endl;
    return mu;
}

}  // namespace VELA
