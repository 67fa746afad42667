// Exact nearest-neighbour and radius search over float points with the very
// index pcl::KdTreeFLANN builds (FLANN's single k-d tree, 15 points per
// leaf, squared float distances), queried point by point without the
// library's per-query set-up, which dominates when millions of single queries
// are made. Same neighbours, same distances, same order.
#pragma once

#include <memory>
#include <vector>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

namespace flann {
template <typename T> struct L2_Simple;
template <typename Distance> class KDTreeSingleIndex;
}  // namespace flann

namespace vela {

class FlannTree {
public:
    // Points with a non-finite coordinate are left out, as the library does;
    // results still give indices into the cloud.
    explicit FlannTree(const pcl::PointCloud<pcl::PointXYZ>& cloud);
    explicit FlannTree(const pcl::PointCloud<pcl::PointXYZRGB>& cloud);
    ~FlannTree();
    FlannTree(const FlannTree&) = delete;
    FlannTree& operator=(const FlannTree&) = delete;

    std::size_t size() const { return mapping_.size(); }

    // Queries may run on several threads at once.

    // The k nearest points (k clamped to the size), nearest first.
    int nearestK(const float query[3], int k, std::vector<int>& indices, std::vector<float>& squaredDistances) const;

    // Points nearer than `radius` (compared squared, in float), in the order
    // of the search, or by distance when `sorted`.
    int radius(const float query[3], double radius, bool sorted, std::vector<int>& indices,
               std::vector<float>& squaredDistances) const;

private:
    template <typename PointT>
    void build(const pcl::PointCloud<PointT>& cloud);

    std::vector<float> coordinates_;
    std::vector<int> mapping_;  // index in the tree -> index in the cloud
    bool identity_ = true;
    std::unique_ptr<flann::KDTreeSingleIndex<flann::L2_Simple<float>>> index_;
};

inline void toQuery(const pcl::PointXYZ& p, float q[3]) { q[0] = p.x, q[1] = p.y, q[2] = p.z; }
inline void toQuery(const pcl::PointXYZRGB& p, float q[3]) { q[0] = p.x, q[1] = p.y, q[2] = p.z; }

}  // namespace vela
