// Mean point spacing: the average distance from each point to its nearest
// other point, which scales every threshold of the segmentation.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <vector>

#include "supervoxel/cl/geometry.h"
#include "supervoxel/cl/large_pages.h"
#include "supervoxel/nearest_other.h"
#include "supervoxel/thread_pool.h"
#include "vela_base_offset.h"
#include "vela_plane.h"

namespace VELA {
namespace {

constexpr std::size_t kBlock = std::size_t{1} << 16;

// The points that take part in the geometry, in the frame, in input order:
// each block of the input counted first, then all written in parallel.
std::vector<cl::Point3D<float>> frameOf(const std::vector<SVPoint3d>& points, const vela::BaseOffset& offset)
{
    const std::size_t blocks = (points.size() + kBlock - 1) / kBlock;
    std::vector<std::size_t> firstOf(blocks + 1, 0);
    vela::parallelFor(blocks, 1, [&](std::size_t b) {
        const std::size_t end = std::min(points.size(), (b + 1) * kBlock);
        for (std::size_t i = b * kBlock; i < end; ++i) firstOf[b + 1] += vela::inFrame(points[i], offset);
    });
    for (std::size_t b = 0; b < blocks; ++b) firstOf[b + 1] += firstOf[b];
    std::vector<cl::Point3D<float>> frame;
    cl::resizeOnLargePages(frame, firstOf.back());
    vela::parallelFor(blocks, 1, [&](std::size_t b) {
        const std::size_t end = std::min(points.size(), (b + 1) * kBlock);
        std::size_t next = firstOf[b];
        for (std::size_t i = b * kBlock; i < end; ++i) {
            const SVPoint3d& p = points[i];
            if (!vela::inFrame(p, offset)) continue;  // takes no part in the geometry
            frame[next++] = cl::Point3D<float>(vela::shifted(p.x, offset.x), vela::shifted(p.y, offset.y),
                                               vela::shifted(p.z, offset.z));
        }
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
