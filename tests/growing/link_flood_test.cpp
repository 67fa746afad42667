#include "growing/link_flood.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "growing_test_records.h"
#include "literal_growing.h"

namespace {

using growing_test::plane;
using vela::PlaneDescriptor;

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// --- merge test -----------------------------------------------------------

TEST(MergeTest, opposite_normals_are_parallel)
{
    const PlaneDescriptor up = plane(0, 0, 1, 0, 0, 0);
    const PlaneDescriptor down = plane(0, 0, -1, 5, 5, 0);
    EXPECT_TRUE(vela::isMergeable(up, down, 0.0, 0.0));
    EXPECT_TRUE(vela::isMergeable(down, up, 0.0, 0.0));
}

TEST(MergeTest, angle_equal_to_theta_passes_and_theta_sign_is_ignored)
{
    const PlaneDescriptor up = plane(0, 0, 1, 0, 0, 0);
    const PlaneDescriptor side = plane(1, 0, 0, 0, 0, 0);
    const double right = std::acos(0.0);
    EXPECT_TRUE(vela::isMergeable(up, side, 0.0, right));
    EXPECT_TRUE(vela::isMergeable(up, side, 0.0, -right));
    EXPECT_FALSE(vela::isMergeable(up, side, 0.0, std::nextafter(right, 0.0)));
    // Exactly parallel planes pass at a zero angle threshold, also in degrees.
    EXPECT_TRUE(vela::isMergeable(up, up, 0.0, vela::degreesToRadians(0.0)));
    EXPECT_EQ(vela::degreesToRadians(180.0), 3.1415926535898);
}

TEST(MergeTest, distance_equal_to_phid_passes)
{
    const PlaneDescriptor low = plane(0, 0, 1, 0, 0, 0);
    const PlaneDescriptor high = plane(0, 0, 1, 3, -2, 0.5f);
    EXPECT_TRUE(vela::isMergeable(low, high, 0.5, 0.0));
    EXPECT_FALSE(vela::isMergeable(low, high, std::nextafter(0.5, 0.0), 0.0));
}

TEST(MergeTest, nearer_of_the_two_offsets_counts)
{
    // The centre of b lies on a's plane but 0.6 off its own plane's direction.
    const PlaneDescriptor a = plane(0, 0, 1, 0, 0, 0);
    const PlaneDescriptor b = plane(0, 0.6f, 0.8f, 0, 1, 0);
    EXPECT_TRUE(vela::isMergeable(a, b, 0.0, 1.0));
    EXPECT_TRUE(vela::isMergeable(b, a, 0.0, 1.0));
    // Along z both read an offset; the smaller (0.8f along b) decides.
    const PlaneDescriptor c = plane(0, 0.6f, 0.8f, 0, 0, 1);
    EXPECT_TRUE(vela::isMergeable(a, c, double(0.8f), 1.0));
    EXPECT_FALSE(vela::isMergeable(a, c, std::nextafter(double(0.8f), 0.0), 1.0));
}

TEST(MergeTest, cosine_rounded_above_one_and_nan_normals_never_merge)
{
    // Nearly equal unit normals whose single-precision cosine exceeds 1.
    const PlaneDescriptor a = plane(0.570299447f, -0.659067512f, -0.490294367f, 0, 0, 0);
    const PlaneDescriptor b = plane(0.570299506f, -0.659067512f, -0.490294397f, 0, 0, 0);
    EXPECT_FALSE(vela::isMergeable(a, b, 1.0, 3.0));
    const PlaneDescriptor nan = plane(kNaN, 0, 1, 0, 0, 0);
    EXPECT_FALSE(vela::isMergeable(nan, nan, 1.0, 3.0));
    const PlaneDescriptor zero = plane(0, 0, 0, 0, 0, 0);
    EXPECT_FALSE(vela::isMergeable(zero, a, 1.0, 3.0));
}

// --- seed order -----------------------------------------------------------

TEST(SeedOrder, matches_a_full_scan_including_ties_nan_and_unusable_curvatures)
{
    const double values[] = {0.0, -0.0, 0.01, 0.01, 0.2, 99999.0, 1e6, std::nan(""),
                             -std::numeric_limits<double>::infinity(), 99998.9};
    std::mt19937 rng(4242u);
    for (int round = 0; round < 200; ++round) {
        const int n = 1 + round % 23;
        std::uniform_int_distribution<int> pick(0, 9), take(0, n - 1);
        std::vector<double> curvature(n);
        for (double& c : curvature) c = values[pick(rng)];
        std::vector<std::uint8_t> available(n, 1);
        vela::SeedOrder order = vela::makeSeedOrder(curvature);
        for (int left = n; left > 0; --left) {
            const int expected = literal::seed(curvature, available);
            ASSERT_EQ(vela::nextSeed(order, available), expected) << "round " << round;
            available[expected] = 0;
            // Also take items away behind the seed order's back, as flooding does.
            const int other = take(rng);
            if (available[other] && left > 1) {
                available[other] = 0;
                --left;
            }
        }
    }
}

}  // namespace
