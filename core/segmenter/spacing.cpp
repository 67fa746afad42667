// Mean point spacing: the average distance from each point to its nearest
// other point, which scales every threshold of the segmentation.
#include <cmath>
#include <iostream>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "supervoxel/cl/flann_tree.h"
#include "supervoxel/thread_pool.h"
#include "vela_base_offset.h"
#include "vela_plane.h"

namespace VELA {

double VELA_Plane::get_mu(std::vector<SVPoint3d> points) const
{
    const vela::BaseOffset offset = vela::baseOffsetOf(points);
    pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
    cloud->points.reserve(points.size());
    for (const SVPoint3d& p : points) {
        if (!vela::inFrame(p, offset)) continue;  // never handed to the kd-tree
        cloud->points.emplace_back(vela::shifted(p.x, offset.x), vela::shifted(p.y, offset.y),
                                   vela::shifted(p.z, offset.z));
    }
    cloud->width = static_cast<std::uint32_t>(cloud->points.size());
    cloud->height = 1;
    points.clear();
    points.shrink_to_fit();

    double sum = 0.0;
    std::size_t count = 0;
    if (!cloud->points.empty()) {
        const vela::FlannTree tree(*cloud);
        // Searched at the same time, summed in point order: the order of the
        // sum is part of the result's last bits. -1: no other point.
        std::vector<float> nearest(cloud->points.size());
        vela::parallelRanges(nearest.size(), 4096, [&](std::size_t begin, std::size_t end) {
            std::vector<int> indices(2);
            std::vector<float> squaredDistances(2);
            for (std::size_t i = begin; i < end; ++i) {
                float query[3];
                vela::toQuery(cloud->points[i], query);
                // The point itself is one of the two; the other is its nearest neighbour.
                nearest[i] = tree.nearestK(query, 2, indices, squaredDistances) == 2 ? std::sqrt(squaredDistances[1])
                                                                                       : -1.0f;
            }
        });
        for (const float d : nearest) {
            if (d < 0.0f) continue;
            sum += static_cast<double>(d);
            ++count;
        }
    }
    const double mu = count > 0 ? sum / static_cast<double>(count) : 0.0;

    std::cout << "the mu of input point cloud is: " << mu << std::endl;
    return mu;
}

}  // namespace VELA
