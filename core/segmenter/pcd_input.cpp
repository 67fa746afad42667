// PCD input: the points of a PCD file appended as colourless input records.
#include <iostream>

#include <pcl/io/pcd_io.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "vela_base_offset.h"
#include "vela_plane.h"

namespace VELA {

namespace {

// Both set_points overloads; `skipped` may be null. False when the file could
// not be read.
bool readPcdPoints(const std::string& file_name, std::vector<SVPoint3d>& points,
                   std::vector<tag_SkippedPoint>* skippedRows)
{
    pcl::PointCloud<pcl::PointXYZRGB>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZRGB>);
    // A failed read leaves the cloud empty; the reader says why on stderr.
    pcl::PCDReader reader;
    const bool read = reader.read(file_name, *cloud) >= 0;

    std::size_t skipped = 0;
    points.reserve(points.size() + cloud->points.size());
    for (std::size_t row = 0; row < cloud->points.size(); ++row) {
        const pcl::PointXYZRGB& p = cloud->points[row];
        SVPoint3d sp(p.x, p.y, p.z);  // the file's colour is not carried over
        // Organised clouds mark missing pixels with NaN; such points cannot be
        // searched or fitted, so they never enter the vector.
        if (!vela::isFinitePoint(sp)) {
            ++skipped;
            if (skippedRows) skippedRows->push_back(tag_SkippedPoint{row, sp});
            continue;
        }
        points.push_back(sp);
    }
    if (skipped > 0)
        std::cerr << "set_points: " << file_name << ": skipped " << skipped
                  << " points with non-finite coordinates" << std::endl;

    std::cout << "the total number of points is: " << points.size() << std::endl;
    return read;
}

}  // namespace

bool VELA_Plane::set_points(std::string file_name, std::vector<SVPoint3d>& points)
{
    readPcdPoints(file_name, points, nullptr);
    return true;
}

bool VELA_Plane::set_points(std::string file_name, std::vector<SVPoint3d>& points,
                            std::vector<tag_SkippedPoint>& skipped)
{
    return readPcdPoints(file_name, points, &skipped);
}

}  // namespace VELA
