#include "segmenter/work_cloud.h"

#include "supervoxel/cl/large_pages.h"

namespace vela {

WorkCloud buildWorkCloud(const std::vector<VELA::SVPoint3d>& points, const BaseOffset& offset)
{
    WorkCloud cloud = makeWorkCloud();
    cl::reserveOnLargePages(cloud->points, points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const VELA::SVPoint3d& p = points[i];
        if (!inFrame(p, offset)) continue;
        WorkPoint w;
        w.x = shifted(p.x, offset.x);
        w.y = shifted(p.y, offset.y);
        w.z = shifted(p.z, offset.z);
        w.rgba = static_cast<std::uint32_t>(i);
        cloud->points.push_back(w);
    }
    cloud->width = 0;
    cloud->height = 0;
    return cloud;
}

InputCoordinates takeCoordinates(std::vector<VELA::SVPoint3d>& points)
{
    InputCoordinates coordinates;
    cl::reserveOnLargePages(coordinates, points.size());
    for (const VELA::SVPoint3d& p : points) coordinates.emplace_back(p.x, p.y, p.z);
    std::vector<VELA::SVPoint3d>().swap(points);
    return coordinates;
}

}  // namespace vela
