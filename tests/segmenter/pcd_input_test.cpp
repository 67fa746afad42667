#include <cmath>
#include <limits>

#include <gtest/gtest.h>
#include <pcl/io/pcd_io.h>
#include <pcl/point_types.h>

#include "support/test_support.h"
#include "vela_plane.h"

using VELA::SVPoint3d;

namespace {

template <typename PointT>
void writeCloud(const std::string& path, const std::vector<PointT>& points, bool organised = false)
{
    pcl::PointCloud<PointT> cloud;
    cloud.points.assign(points.begin(), points.end());
    cloud.width = static_cast<std::uint32_t>(points.size());
    cloud.height = 1;
    if (organised) {
        cloud.width = 2;
        cloud.height = static_cast<std::uint32_t>(points.size() / 2);
        cloud.is_dense = false;
    }
    ASSERT_EQ(pcl::io::savePCDFileBinary(path, cloud), 0);
}

std::string load(const std::string& path, std::vector<SVPoint3d>& points, std::string* err = nullptr)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(VELA::VELA_Plane().set_points(path, points));
    const std::string e = testing::internal::GetCapturedStderr();
    if (err) *err = e;
    return testing::internal::GetCapturedStdout();
}

pcl::PointXYZRGB coloured(float x, float y, float z)
{
    pcl::PointXYZRGB p(std::uint8_t(255), std::uint8_t(128), std::uint8_t(7));
    p.x = x;
    p.y = y;
    p.z = z;
    return p;
}

}  // namespace

TEST(PcdInput, colour_is_dropped_and_floats_are_widened_exactly)
{
    testsupport::TempDir dir;
    writeCloud<pcl::PointXYZRGB>(dir.file("c.pcd"), {coloured(0.1f, 2.0f, -3.5f), coloured(1, 1, 1)});
    std::vector<SVPoint3d> points;
    EXPECT_EQ(load(dir.file("c.pcd"), points), "the total number of points is: 2\n");
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[0].x, 0.10000000149011612);
    EXPECT_EQ(points[0].y, 2.0);
    EXPECT_EQ(points[0].z, -3.5);
    EXPECT_EQ(points[0].r, 0);
    EXPECT_EQ(points[0].g, 0);
    EXPECT_EQ(points[0].b, 0);
}

TEST(PcdInput, second_file_is_appended_and_counted_with_the_first)
{
    testsupport::TempDir dir;
    std::vector<pcl::PointXYZ> ten(10, pcl::PointXYZ(1, 2, 3));
    std::vector<pcl::PointXYZ> twenty(20, pcl::PointXYZ(4, 5, 6));
    writeCloud(dir.file("a.pcd"), ten);
    writeCloud(dir.file("b.pcd"), twenty);  // no colour field: still read
    std::vector<SVPoint3d> points;
    EXPECT_EQ(load(dir.file("a.pcd"), points), "the total number of points is: 10\n");
    EXPECT_EQ(load(dir.file("b.pcd"), points), "the total number of points is: 30\n");
    EXPECT_EQ(points[9].x, 1.0);
    EXPECT_EQ(points[10].x, 4.0);
}

TEST(PcdInput, missing_file_appends_nothing_and_still_counts)
{
    std::vector<SVPoint3d> points{{7, 7, 7}};
    EXPECT_EQ(load("/nonexistent/cloud.pcd", points), "the total number of points is: 1\n");
    EXPECT_EQ(points.size(), 1u);
}

TEST(PcdInput, non_finite_points_are_skipped_and_reported)
{
    testsupport::TempDir dir;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    writeCloud<pcl::PointXYZ>(dir.file("o.pcd"),
                              {{1, 1, 1}, {nan, nan, nan}, {2, nan, 2}, {3, 3, 3}}, true);
    std::vector<SVPoint3d> points;
    std::string err;
    EXPECT_EQ(load(dir.file("o.pcd"), points, &err), "the total number of points is: 2\n");
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[1].x, 3.0);
    EXPECT_NE(err.find("skipped 2 points with non-finite coordinates"), std::string::npos) << err;
}

TEST(PcdInput, real_organised_cloud_keeps_only_finite_points)
{
    const std::string path = testsupport::sharedDataFile("table_scene_mug_stereo_textured.pcd");
    if (path.empty())
        GTEST_SKIP() << "no table_scene_mug_stereo_textured.pcd in the data folder '" << testsupport::sharedDataDir()
                     << "' (set VELASEG_SHARED_DIR)";
    std::vector<SVPoint3d> points;
    std::string err;
    const std::string out = load(path, points, &err);
    EXPECT_GT(points.size(), 100000u);
    EXPECT_LT(points.size(), 640u * 480u);
    for (const SVPoint3d& p : points) ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
    EXPECT_EQ(out, "the total number of points is: " + std::to_string(points.size()) + "\n");
}

TEST(PcdInput, skipped_rows_are_listed_with_their_points_so_rows_line_up_with_the_file)
{
    testsupport::TempDir dir;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    writeCloud<pcl::PointXYZ>(dir.file("o.pcd"), {{1, 1, 1}, {nan, nan, nan}, {2, nan, 2}, {3, 3, 3}}, true);
    std::vector<SVPoint3d> points;
    std::vector<VELA::tag_SkippedPoint> skipped;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(VELA::VELA_Plane().set_points(dir.file("o.pcd"), points, skipped));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "the total number of points is: 2\n");
    ASSERT_EQ(points.size(), 2u);
    ASSERT_EQ(skipped.size(), 2u);
    EXPECT_EQ(skipped[0].row, 1u);
    EXPECT_EQ(skipped[1].row, 2u);
    EXPECT_EQ(skipped[1].point.x, 2.0);  // the finite coordinates stay as read
    EXPECT_TRUE(std::isnan(skipped[1].point.y));
}

TEST(PcdInput, a_file_that_cannot_be_read_returns_false)
{
    // (An empty cloud, POINTS 0, would tell the two apart too, but PCL 1.13
    // binds a reference to the data of an empty vector converting it.)
    testsupport::TempDir dir;
    writeCloud<pcl::PointXYZ>(dir.file("one.pcd"), {{1, 2, 3}});
    std::vector<SVPoint3d> points;
    std::vector<VELA::tag_SkippedPoint> skipped;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool one = VELA::VELA_Plane().set_points(dir.file("one.pcd"), points, skipped);
    const bool missing = VELA::VELA_Plane().set_points(dir.file("missing.pcd"), points, skipped);
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(one);
    EXPECT_FALSE(missing);
    EXPECT_EQ(points.size(), 1u);
    EXPECT_TRUE(skipped.empty());
}
