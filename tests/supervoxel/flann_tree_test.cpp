#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>
#include <pcl/kdtree/kdtree_flann.h>

#include "supervoxel/cl/flann_tree.h"

namespace {

using Cloud = pcl::PointCloud<pcl::PointXYZRGB>;

Cloud::Ptr randomCloud(std::mt19937& random, int n, bool gridded, bool withNaN)
{
    Cloud::Ptr cloud(new Cloud);
    std::uniform_real_distribution<float> u(-5.0f, 5.0f);
    std::uniform_int_distribution<int> g(-6, 6);
    for (int i = 0; i < n; ++i) {
        pcl::PointXYZRGB p;
        // A coarse grid makes many exactly equal distances.
        p.x = gridded ? 0.5f * g(random) : u(random);
        p.y = gridded ? 0.5f * g(random) : u(random);
        p.z = gridded ? 0.25f * g(random) : u(random);
        if (withNaN && i % 17 == 3) p.y = std::numeric_limits<float>::quiet_NaN();
        cloud->points.push_back(p);
    }
    cloud->width = static_cast<std::uint32_t>(n);
    cloud->height = 1;
    cloud->is_dense = !withNaN;
    return cloud;
}

}  // namespace

TEST(FlannTree, answers_exactly_as_the_library_tree_ties_included)
{
    std::mt19937 random(7);
    for (int trial = 0; trial < 24; ++trial) {
        const bool gridded = trial % 2 == 1;
        const bool withNaN = trial % 3 == 2;
        const Cloud::Ptr cloud = randomCloud(random, 50 + 97 * trial, gridded, withNaN);
        pcl::KdTreeFLANN<pcl::PointXYZRGB> sortedTree(true), unsortedTree(false);
        sortedTree.setInputCloud(cloud);
        unsortedTree.setInputCloud(cloud);
        const vela::FlannTree ours(*cloud);

        std::vector<int> a, b;
        std::vector<float> da, db;
        for (std::size_t q = 0; q < cloud->points.size(); q += 3) {
            const pcl::PointXYZRGB& p = cloud->points[q];
            if (!std::isfinite(p.y)) continue;
            float query[3];
            vela::toQuery(p, query);
            for (int k : {1, 2, 5, 12, 15, 300}) {
                ASSERT_EQ(ours.nearestK(query, k, a, da), sortedTree.nearestKSearch(p, k, b, db));
                ASSERT_EQ(a, b) << trial << " k " << k;
                ASSERT_EQ(da, db);
            }
            for (double r : {0.25, 0.5, 0.7071067811865476, static_cast<double>(static_cast<float>(0.6)), 1.3}) {
                ASSERT_EQ(ours.radius(query, r, true, a, da), sortedTree.radiusSearch(p, r, b, db));
                ASSERT_EQ(a, b) << trial << " r " << r;
                ASSERT_EQ(da, db);
                ours.radius(query, r, false, a, da);
                unsortedTree.radiusSearch(p, r, b, db);
                ASSERT_EQ(a, b) << trial << " unsorted r " << r;
                ASSERT_EQ(da, db);
            }
        }
    }
}

TEST(FlannTree, empty_cloud_finds_nothing)
{
    const vela::FlannTree tree(pcl::PointCloud<pcl::PointXYZ>{});
    std::vector<int> indices{1};
    std::vector<float> distances{1.0f};
    const float query[3] = {0, 0, 0};
    EXPECT_EQ(tree.nearestK(query, 2, indices, distances), 0);
    EXPECT_EQ(tree.radius(query, 1.0, true, indices, distances), 0);
    EXPECT_TRUE(indices.empty());
}
