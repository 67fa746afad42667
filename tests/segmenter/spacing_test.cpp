#include <cmath>
#include <cstring>
#include <random>
#include <limits>

#include <gtest/gtest.h>
#include <pcl/kdtree/kdtree_flann.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "support/thread_counts.h"
#include "vela_plane.h"

using VELA::SVPoint3d;

namespace {

double muOf(const std::vector<SVPoint3d>& points, std::string* printed = nullptr)
{
    testing::internal::CaptureStdout();
    const double mu = VELA::VELA_Plane().get_mu(points);
    const std::string out = testing::internal::GetCapturedStdout();
    if (printed) *printed = out;
    return mu;
}

// The literal mean: one FLANN search after the other, summed in point order.
double literalMean(const pcl::PointCloud<pcl::PointXYZ>::Ptr& cloud)
{
    pcl::KdTreeFLANN<pcl::PointXYZ> tree;
    tree.setInputCloud(cloud);
    double sum = 0.0;
    std::vector<int> found(2);
    std::vector<float> squared(2);
    for (const pcl::PointXYZ& p : cloud->points) {
        tree.nearestKSearch(p, 2, found, squared);
        sum += static_cast<double>(std::sqrt(squared[1]));
    }
    return sum / static_cast<double>(cloud->points.size());
}

}  // namespace

TEST(Spacing, unit_square_corners_are_one_apart)
{
    EXPECT_EQ(muOf({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}}), 1.0);
}

TEST(Spacing, points_on_a_line_average_their_nearest_gaps)
{
    std::string printed;
    EXPECT_EQ(muOf({{0, 0, 0}, {1, 0, 0}, {3, 0, 0}}, &printed), 4.0 / 3.0);
    EXPECT_EQ(printed, "the mu of input point cloud is: 1.33333\n");
}

TEST(Spacing, duplicates_count_with_distance_zero)
{
    EXPECT_EQ(muOf({{5, 5, 5}, {5, 5, 5}, {5, 5, 7}}), 2.0 / 3.0);
}

TEST(Spacing, map_coordinates_are_shifted_before_narrowing)
{
    // Unshifted, floats near 4.5e6 are 0.5 apart at best; shifted they are exact.
    EXPECT_EQ(muOf({{4520123.0, 10.0, 0.0}, {4520123.5, 10.0, 0.0}}), 0.5);
}

TEST(Spacing, fewer_than_two_points_give_zero)
{
    std::string printed;
    EXPECT_EQ(muOf({}, &printed), 0.0);
    EXPECT_EQ(printed, "the mu of input point cloud is: 0\n");
    EXPECT_EQ(muOf({{1, 2, 3}}), 0.0);
}

TEST(Spacing, non_finite_points_take_no_part)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    // The frame comes from the first finite point, and the NaN points are
    // neither searched nor counted.
    EXPECT_EQ(muOf({{nan, nan, nan}, {4520000.0, 0, 0}, {inf, 0, 0}, {4520002.0, 0, 0}}), 2.0);
    EXPECT_EQ(muOf({{nan, 0, 0}, {0, nan, 0}}), 0.0);
}

TEST(Spacing, any_thread_count_sums_the_same_distances_in_the_same_order)
{
    // Enough points for many tasks; rounding would show a different order.
    std::mt19937 gen(17);
    std::uniform_real_distribution<double> u(0.0, 50.0);
    std::vector<SVPoint3d> points;
    for (int i = 0; i < 60000; ++i) points.emplace_back(512000.0 + u(gen), 4100000.0 + u(gen), u(gen) / 10);
    for (int i = 0; i < 2000; ++i) points.push_back(points[static_cast<std::size_t>(13 * i)]);
    pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
    for (const SVPoint3d& p : points)
        cloud->push_back(pcl::PointXYZ(static_cast<float>(p.x - 512000.0), static_cast<float>(p.y - 4100000.0),
                                       static_cast<float>(p.z)));
    const double want = literalMean(cloud);

    const std::vector<double> mus = testsupport::onEachThreadCount([&] { return muOf(points); });
    for (std::size_t t = 0; t < mus.size(); ++t)
        EXPECT_EQ(std::memcmp(&mus[t], &want, sizeof(double)), 0) << testsupport::kThreadCounts[t] << " threads";
}

TEST(Spacing, points_left_out_in_every_block_of_the_input_leave_the_rest_whole)
{
    // The frame is built in blocks of the input on the pool: dropped points
    // in every block must neither lose nor repeat a kept one.
    std::mt19937 gen(18);
    std::uniform_real_distribution<double> u(0.0, 40.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<SVPoint3d> points;
    pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
    for (int i = 0; i < 150000; ++i) {
        if (i % 7 == 3) {
            points.emplace_back(nan, 1.0, 1.0);
            continue;
        }
        points.emplace_back(u(gen), u(gen), u(gen) / 20);
        cloud->push_back(pcl::PointXYZ(static_cast<float>(points.back().x), static_cast<float>(points.back().y),
                                       static_cast<float>(points.back().z)));
    }
    const double want = literalMean(cloud);

    const std::vector<double> mus = testsupport::onEachThreadCount([&] { return muOf(points); });
    for (std::size_t t = 0; t < mus.size(); ++t)
        EXPECT_EQ(std::memcmp(&mus[t], &want, sizeof(double)), 0) << testsupport::kThreadCounts[t] << " threads";
}
