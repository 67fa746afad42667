// CloudView: an interactive 3-D window showing a coloured point cloud.
#pragma once

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#if defined(_WIN32)
#  if defined(CLOUDVIEW_BUILD)
#    define CLOUDVIEW_API __declspec(dllexport)
#  else
#    define CLOUDVIEW_API __declspec(dllimport)
#  endif
#else
#  define CLOUDVIEW_API __attribute__((visibility("default")))
#endif

namespace CLOUDVIEW_NS {

class CLOUDVIEW_API CloudView {
public:
    CloudView();
    ~CloudView();
    CloudView& operator=(const CloudView& other);

    // Opens the "3D Viewer" window with the points in their own colours on
    // black and returns when the user closes it. An empty cloud returns at once.
    void visual_pc(pcl::PointCloud<pcl::PointXYZRGB>::Ptr cloud);
};

}  // namespace CLOUDVIEW_NS
