#include "result_file.h"

#include <fstream>

#include "segmenter/base_offset.h"

namespace velaseg {

std::string resultFileName(const std::string& pcFile)
{
    const std::size_t slash = pcFile.find_last_of('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = pcFile.find_last_of('.');
    // A dot in a directory name is not an extension: the result must stay in
    // the input's own directory.
    const std::string stem =
        (dot == std::string::npos || dot < nameStart) ? pcFile : pcFile.substr(0, dot);
    return stem + "_seg_VELA" + ".xyz";
}

bool writeResultFile(const std::string& fileName, const Planes& planes)
{
    std::ofstream out(fileName, std::ios::out | std::ios::trunc);
    if (!out) return false;
    out.precision(20);
    for (const auto& plane : planes) {
        for (const VELA::SVPoint3d& p : plane) {
            out << p.x << " \t" << p.y << " \t" << p.z << " \t" << static_cast<int>(p.r) << " \t"
                << static_cast<int>(p.g) << " \t" << static_cast<int>(p.b) << " \t" << '\n';
        }
    }
    out.flush();
    return static_cast<bool>(out);
}

pcl::PointCloud<pcl::PointXYZRGB>::Ptr makeViewerCloud(const Planes& planes)
{
    vela::BaseOffset offset;
    if (!planes.empty() && !planes[0].empty()) offset = vela::baseOffsetOf(planes[0][0]);

    pcl::PointCloud<pcl::PointXYZRGB>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZRGB>);
    for (const auto& plane : planes) {
        for (const VELA::SVPoint3d& p : plane) {
            pcl::PointXYZRGB v;
            v.x = vela::shifted(p.x, offset.x);
            v.y = vela::shifted(p.y, offset.y);
            v.z = vela::shifted(p.z, offset.z);
            v.r = p.r;
            v.g = p.g;
            v.b = p.b;
            v.a = 255;
            cloud->push_back(v);
        }
    }
    return cloud;
}

}  // namespace velaseg
