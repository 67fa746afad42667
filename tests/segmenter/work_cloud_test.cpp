#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "segmenter/work_cloud.h"
#include "vela_base_offset.h"

using VELA::SVPoint3d;

TEST(BaseOffset, whole_thousands_truncated_toward_zero)
{
    EXPECT_EQ(vela::baseOffsetComponent(4520123.7), 4520000);
    EXPECT_EQ(vela::baseOffsetComponent(-1999.9), -1000);
    EXPECT_EQ(vela::baseOffsetComponent(999.999), 0);
    EXPECT_EQ(vela::baseOffsetComponent(-999.999), 0);
    EXPECT_EQ(vela::baseOffsetComponent(2500.0), 2000);
    EXPECT_EQ(vela::baseOffsetComponent(-2500.0), -2000);
}

TEST(BaseOffset, components_beyond_32_bits_are_formed_in_64_and_beyond_those_become_zero)
{
    EXPECT_EQ(vela::baseOffsetComponent(2147483999.0), 2147483000);  // the largest a 32-bit product holds
    EXPECT_EQ(vela::baseOffsetComponent(2147484000.0), 2147484000);
    EXPECT_EQ(vela::baseOffsetComponent(-2147484000.0), -2147484000);
    EXPECT_EQ(vela::baseOffsetComponent(2200000123.5), 2200000000);
    EXPECT_EQ(vela::baseOffsetComponent(9.1e18), 9100000000000000000);
    EXPECT_FALSE(vela::beyondOffsetRange(SVPoint3d(9.1e18, -9.1e18, 0)));
    EXPECT_EQ(vela::baseOffsetComponent(9.2e18), 0);
    EXPECT_TRUE(vela::beyondOffsetRange(SVPoint3d(0, -9.2e18, 0)));
    EXPECT_EQ(vela::baseOffsetComponent(1e300), 0);
    EXPECT_EQ(vela::baseOffsetComponent(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(vela::baseOffsetComponent(-std::numeric_limits<double>::infinity()), 0);
}

TEST(WorkCloud, points_are_shifted_and_tagged_with_their_input_index)
{
    const std::vector<SVPoint3d> input{{-1234.5, 999.9, 1000.0}, {-1000.5, 0.25, 1001.0}};
    const vela::BaseOffset offset = vela::baseOffsetOf(input);
    EXPECT_EQ(offset.x, -1000);
    EXPECT_EQ(offset.y, 0);
    EXPECT_EQ(offset.z, 1000);
    const vela::WorkCloud cloud = vela::buildWorkCloud(input, offset);
    ASSERT_EQ(cloud->points.size(), 2u);
    EXPECT_EQ(cloud->points[1].x, -0.5f);
    EXPECT_EQ(cloud->points[1].y, 0.25f);
    EXPECT_EQ(cloud->points[1].z, 1.0f);
    EXPECT_EQ(vela::inputIndex(cloud->points[0]), 0u);
    EXPECT_EQ(vela::inputIndex(cloud->points[1]), 1u);
    EXPECT_EQ(cloud->width, 0u);
    EXPECT_EQ(cloud->height, 0u);
}

TEST(WorkCloud, points_beyond_two_to_the_62_from_the_frame_are_left_out_with_non_finite_ones)
{
    // 1e39 overflows float; 1e30 fits, but distances from it would not.
    const std::vector<SVPoint3d> input{{10, 20, 30}, {1e39, 0, 0}, {0, -1e30, 0}, {0, 0, 4.6e18}, {0, 0, 4.7e18}};
    const vela::BaseOffset offset = vela::baseOffsetOf(input);
    const vela::WorkCloud cloud = vela::buildWorkCloud(input, offset);
    ASSERT_EQ(cloud->points.size(), 2u);
    EXPECT_EQ(vela::inputIndex(cloud->points[0]), 0u);
    EXPECT_EQ(vela::inputIndex(cloud->points[1]), 3u);
    EXPECT_EQ(cloud->points[1].z, 4.6e18f);
}

TEST(WorkCloud, non_finite_points_are_left_out_but_indices_stay_input_indices)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<SVPoint3d> input{{nan, 0, 0}, {4520123.25, 5, 5}, {1, nan, 1}, {4520124.0, 5, 5}};
    const vela::BaseOffset offset = vela::baseOffsetOf(input);
    EXPECT_EQ(offset.x, 4520000);  // from the first finite point
    const vela::WorkCloud cloud = vela::buildWorkCloud(input, offset);
    ASSERT_EQ(cloud->points.size(), 2u);
    EXPECT_EQ(cloud->points[0].x, 123.25f);
    EXPECT_EQ(vela::inputIndex(cloud->points[0]), 1u);
    EXPECT_EQ(vela::inputIndex(cloud->points[1]), 3u);
}

TEST(WorkCloud, coordinates_taken_out_keep_every_input_point_bit_for_bit_and_release_the_points)
{
    // Left-out points keep their place: output rows are found by input index.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<SVPoint3d> input{{4520123.123456789, -0.1, 1e-300}, {nan, 2, 3}, {1e39, -1e39, 0.30000000000000004}};
    input[0].r = 200;
    const vela::InputCoordinates taken = vela::takeCoordinates(input);
    EXPECT_TRUE(input.empty());
    EXPECT_EQ(input.capacity(), 0u);
    ASSERT_EQ(taken.size(), 3u);
    EXPECT_EQ(taken[0].x, 4520123.123456789);
    EXPECT_EQ(taken[0].y, -0.1);
    EXPECT_EQ(taken[0].z, 1e-300);
    EXPECT_TRUE(std::isnan(taken[1].x));
    EXPECT_EQ(taken[1].z, 3.0);
    EXPECT_EQ(taken[2].y, -1e39);
    EXPECT_EQ(taken[2].z, 0.30000000000000004);
}
