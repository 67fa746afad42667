#include "supervoxel/cl/flann_tree.h"

#include <cmath>

// Built without OpenMP: FLANN's query loops would otherwise open a parallel
// region for every single query.
#include <flann/algorithms/dist.h>
#include <flann/algorithms/kdtree_single_index.h>
#include <flann/util/result_set.h>

namespace vela {
namespace {

// FLANN switches to a heap for more neighbours than this.
constexpr int kHeapThreshold = 250;

template <typename ResultSet>
int copyOut(ResultSet& set, std::size_t n, bool sorted, const std::vector<int>& mapping, bool identity,
            std::vector<int>& indices, std::vector<float>& squaredDistances)
{
    // Per thread, so that queries can run at the same time, and kept so that
    // millions of queries allocate nothing.
    thread_local std::vector<std::size_t> found;
    found.resize(n);
    squaredDistances.resize(n);
    indices.resize(n);
    if (n > 0) set.copy(found.data(), squaredDistances.data(), n, sorted);
    for (std::size_t i = 0; i < n; ++i) indices[i] = identity ? static_cast<int>(found[i]) : mapping[found[i]];
    return static_cast<int>(n);
}

}  // namespace

FlannTree::FlannTree(const pcl::PointCloud<pcl::PointXYZ>& cloud) { build(cloud); }
FlannTree::FlannTree(const pcl::PointCloud<pcl::PointXYZRGB>& cloud) { build(cloud); }
FlannTree::~FlannTree() = default;

template <typename PointT>
void FlannTree::build(const pcl::PointCloud<PointT>& cloud)
{
    coordinates_.reserve(cloud.points.size() * 3);
    mapping_.reserve(cloud.points.size());
    for (std::size_t i = 0; i < cloud.points.size(); ++i) {
        const PointT& p = cloud.points[i];
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
            identity_ = false;
            continue;
        }
        coordinates_.push_back(p.x);
        coordinates_.push_back(p.y);
        coordinates_.push_back(p.z);
        mapping_.push_back(static_cast<int>(i));
    }
    if (mapping_.empty()) return;
    index_.reset(new flann::KDTreeSingleIndex<flann::L2_Simple<float>>(
        flann::Matrix<float>(coordinates_.data(), mapping_.size(), 3), flann::KDTreeSingleIndexParams(15)));
    index_->buildIndex();
}

int FlannTree::nearestK(const float query[3], int k, std::vector<int>& indices,
                        std::vector<float>& squaredDistances) const
{
    if (k > static_cast<int>(size())) k = static_cast<int>(size());
    if (k <= 0) {
        indices.clear();
        squaredDistances.clear();
        return 0;
    }
    const flann::SearchParams params(-1, 0.0f);  // exact, sorted
    if (k > kHeapThreshold) {
        flann::KNNResultSet2<float> set(static_cast<std::size_t>(k));
        index_->findNeighbors(set, query, params);
        return copyOut(set, std::min(set.size(), static_cast<std::size_t>(k)), params.sorted, mapping_, identity_,
                       indices, squaredDistances);
    }
    flann::KNNSimpleResultSet<float> set(static_cast<std::size_t>(k));
    index_->findNeighbors(set, query, params);
    return copyOut(set, std::min(set.size(), static_cast<std::size_t>(k)), params.sorted, mapping_, identity_,
                   indices, squaredDistances);
}

int FlannTree::radius(const float query[3], double radius, bool sorted, std::vector<int>& indices,
                      std::vector<float>& squaredDistances) const
{
    if (size() == 0) {
        indices.clear();
        squaredDistances.clear();
        return 0;
    }
    const flann::SearchParams params(-1, 0.0f, sorted);
    flann::RadiusResultSet<float> set(static_cast<float>(radius * radius));
    index_->findNeighbors(set, query, params);
    return copyOut(set, set.size(), sorted, mapping_, identity_, indices, squaredDistances);
}

}  // namespace vela
