#include "segmenter/work_cloud.h"

#include "segmenter/frame_copy.h"
#include "supervoxel/populated_pages.h"
#include "supervoxel/thread_pool.h"

namespace vela {

WorkCloud buildWorkCloud(const std::vector<VELA::SVPoint3d>& points, const BaseOffset& offset)
{
    WorkCloud cloud = makeWorkCloud();
    copyInFrame(points, offset, cloud->points, [&](std::size_t i) {
        const VELA::SVPoint3d& p = points[i];
        WorkPoint w;
        w.x = shifted(p.x, offset.x);
        w.y = shifted(p.y, offset.y);
        w.z = shifted(p.z, offset.z);
        w.rgba = static_cast<std::uint32_t>(i);
        return w;
    });
    cloud->width = 0;
    cloud->height = 0;
    return cloud;
}

InputCoordinates takeCoordinates(std::vector<VELA::SVPoint3d>& points)
{
    InputCoordinates coordinates;
    resizeOnPopulatedPages(coordinates, points.size());
    parallelFor(points.size(), std::size_t{1} << 14, [&](std::size_t i) {
        coordinates[i] = cl::Point3D<double>(points[i].x, points[i].y, points[i].z);
    });
    std::vector<VELA::SVPoint3d>().swap(points);
    return coordinates;
}

}  // namespace vela
