// PCD input: the points of a PCD file appended as colourless input records.
#include <iostream>

#include <pcl/io/pcd_io.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "vela_base_offset.h"
#include "vela_plane.h"

namespace VELA {

bool VELA_Plane::set_points(std::string file_name, std::vector<SVPoint3d>& points)
{
    pcl::PointCloud<pcl::PointXYZRGB>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZRGB>);
    // A failed read leaves the cloud empty; the reader says why on stderr.
    pcl::PCDReader reader;
    reader.read(file_name, *cloud);

    std::size_t skipped = 0;
    points.reserve(points.size() + cloud->points.size());
    for (const pcl::PointXYZRGB& p : cloud->points) {
        SVPoint3d sp(p.x, p.y, p.z);  // the file's colour is not carried over
        // Organised clouds mark missing pixels with NaN; such points cannot be
        // searched or fitted, so they never enter the vector.
        if (!vela::isFinitePoint(sp)) {
            ++skipped;
            continue;
        }
        points.push_back(sp);
    }
    if (skipped > 0)
        std::cerr << "set_points: " << file_name << ": skipped " << skipped
                  << " points with non-finite coordinates" << std::endl;

    std::cout << "the total number of points is: " << points.size() << std::endl;
    return true;
}

}  // namespace VELA
