#include "cloud_view.h"

#include <memory>

#include <pcl/visualization/pcl_visualizer.h>
#include <pcl/visualization/point_cloud_color_handlers.h>

namespace CLOUDVIEW_NS {

CloudView::CloudView() = default;
CloudView::~CloudView() = default;
CloudView& CloudView::operator=(const CloudView&) = default;

void CloudView::visual_pc(pcl::PointCloud<pcl::PointXYZRGB>::Ptr cloud)
{
    if (!cloud || cloud->points.empty()) return;  // nothing to show: no window

    const std::string id = "pc_points";
    auto viewer = std::make_shared<pcl::visualization::PCLVisualizer>("3D Viewer", true);
    viewer->setBackgroundColor(0.0, 0.0, 0.0, 0);
    pcl::visualization::PointCloudColorHandlerRGBField<pcl::PointXYZRGB> colours(cloud);
    viewer->addPointCloud<pcl::PointXYZRGB>(cloud, colours, id, 0);
    viewer->setPointCloudRenderingProperties(pcl::visualization::PCL_VISUALIZER_POINT_SIZE, 3.0,
                                             id, 0);
    while (!viewer->wasStopped()) viewer->spinOnce(100, false);
}

}  // namespace CLOUDVIEW_NS
