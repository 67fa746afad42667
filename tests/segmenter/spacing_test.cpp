#include <cmath>
#include <limits>

#include <gtest/gtest.h>

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
