#include "planar/orsa_planar.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "exchange_sort_reference.h"
#include "planar/detail/nfa_detail.h"
#include "planar/detail/orsa_planar_detail.h"
#include "planar_test_points.h"

namespace vela {
namespace {

using vela_test::inputIndices;
using vela_test::point;
using vela_test::supervoxelOf;

struct Outcome {
    bool result = false;
    bool changed = false;
    Supervoxel supervoxel;
    WorkCloud outliers;
};

Outcome runTest(const std::vector<WorkPoint>& points, int kappa, double tau, double epsilon,
                ResidualSorter sorter = sortResiduals)
{
    Outcome outcome;
    outcome.supervoxel = supervoxelOf(points);
    outcome.result = ORSA_Planar(outcome.supervoxel, outcome.outliers, outcome.changed, kappa, tau, epsilon, sorter);
    return outcome;
}

// A 10 x 6 patch near z = 0 (noise 1 mm, index 0..59) and 15 points well off it (60..74).
std::vector<WorkPoint> partlyPlanarPoints(unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> noise(-0.001f, 0.001f);
    std::uniform_real_distribution<float> height(0.5f, 2.0f);
    std::vector<WorkPoint> points;
    for (int i = 0; i < 60; ++i) {
        points.push_back(point(0.5f * (i % 10) + noise(random), 0.5f * (i / 10) + noise(random), noise(random), i));
    }
    for (int i = 60; i < 75; ++i) points.push_back(point(0.3f * (i - 60), 0.2f * (i % 7), height(random), i));
    return points;
}

TEST(SampleSource, draws_are_the_seeded_engine_outputs_halved)
{
    SampleSource source = makeSampleSource();
    EXPECT_EQ(source(), 1996335345);
    EXPECT_EQ(source(), 1911592690);
    EXPECT_EQ(source(), 679411342);
    std::mt19937 engine(12345);
    engine.discard(3);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(source(), static_cast<int>(engine() / 2)) << "draw " << i;
}

TEST(IterationLimit, follows_the_inlier_ratio_of_the_best_cut)
{
    EXPECT_EQ(nextIterationLimit(90, 100, 7, 500), 17);
    EXPECT_EQ(nextIterationLimit(50, 100, 3, 500), 71);
    EXPECT_EQ(nextIterationLimit(30, 100, 2, 500), 338);
    EXPECT_EQ(nextIterationLimit(20, 100, 5, 400), 400);
    EXPECT_EQ(nextIterationLimit(50, 100, 3, 20), 71);       // may rise again
    EXPECT_EQ(nextIterationLimit(30, 100, 400, 500), 500);   // never beyond 500
    EXPECT_EQ(nextIterationLimit(1, 1000000, 3, 123), 123);  // far beyond the int range
}

TEST(PlaneFromSample, unit_normal_and_distances_of_an_exact_plane)
{
    const WorkCloud cloud = supervoxelOf({point(0, 0, 5, 0), point(2, 0, 5, 1), point(0, 3, 5, 2),
                                          point(7, 7, 5.5f, 3), point(0, 0, 4, 4)}).cloud;
    std::vector<float> plane;
    ASSERT_TRUE(planeFromSample(cloud, {0, 1, 2}, plane));
    EXPECT_EQ(plane, (std::vector<float>{0.0f, 0.0f, 1.0f, -5.0f}));
    std::vector<double> distances;
    ASSERT_TRUE(planeDistances(cloud, plane, {4, 1, 3}, distances));
    EXPECT_EQ(distances, (std::vector<double>{1.0, 0.0, 0.5}));
    EXPECT_FALSE(planeDistances(cloud, {0.0f, 0.0f, 1.0f}, {0}, distances));

    // The same distances as single-precision bits, for every point in cloud
    // order; a distance that is not a number is refused.
    std::vector<std::uint32_t> bits;
    ASSERT_TRUE(planeDistanceBits(coordinatesOf(cloud), plane, bits));
    EXPECT_EQ(bits, (std::vector<std::uint32_t>{0u, 0u, 0u, 0x3f000000u, 0x3f800000u}));
    cloud->points[4].z = NAN;
    EXPECT_FALSE(planeDistanceBits(coordinatesOf(cloud), plane, bits));
}

TEST(PlaneFromSample, collinear_sample_is_skipped)
{
    const WorkCloud cloud = supervoxelOf({point(0, 0, 0, 0), point(1, 1, 1, 1), point(2, 2, 2, 2),
                                          point(0, 1, 1, 3), point(0, 2, 2, 4)}).cloud;
    std::vector<float> plane;
    EXPECT_FALSE(planeFromSample(cloud, {0, 1, 2}, plane));  // equal ratios
    EXPECT_FALSE(planeFromSample(cloud, {0, 3, 4}, plane));  // 0/0 ratio on x, a line all the same
    EXPECT_FALSE(planeFromSample(cloud, {0, 1}, plane));
    EXPECT_TRUE(plane.empty());

    SampleSource source = makeSampleSource();
    std::vector<int> shuffle = {0, 1}, sample = {7};
    EXPECT_FALSE(drawPlaneSample(cloud, shuffle, 1000, 3, sample, source));
    shuffle = {0, 1, 2};
    EXPECT_TRUE(drawPlaneSample(cloud, shuffle, 1000, 3, sample, source));
    EXPECT_TRUE(sample.empty());  // 1000 attempts, all collinear
}

TEST(OrsaPlanar, too_few_points_fail_and_change_nothing)
{
    for (std::size_t n : {0u, 2u, 3u}) {
        std::vector<WorkPoint> points = {point(0, 0, 0, 0), point(1, 0, 0, 1), point(0, 1, 0, 2)};
        points.resize(n);
        const Outcome outcome = runTest(points, 3, 0.1, 0.0);
        EXPECT_FALSE(outcome.result) << n << " points";
        EXPECT_FALSE(outcome.changed);
        EXPECT_FALSE(outcome.outliers);
        EXPECT_EQ(outcome.supervoxel.cloud->points.size(), n);
    }
}

TEST(OrsaPlanar, points_on_a_line_all_become_outliers)
{
    // (t, t, t) fails the ratio test; (0, t, t) passes it through 0/0 and
    // would be cut to 4 points with a kappa of 4 if its zero normal were scored.
    for (bool zeroOnX : {false, true}) {
        std::vector<WorkPoint> points;
        for (int t = 0; t < 10; ++t) points.push_back(point(zeroOnX ? 0.0f : t, t, t, 100 + t));
        Supervoxel supervoxel = supervoxelOf(points);
        const Supervoxel sharing = supervoxel;
        WorkCloud outliers;
        bool changed = false;
        ASSERT_TRUE(ORSA_Planar(supervoxel, outliers, changed, 4, 0.1, 0.0));
        EXPECT_TRUE(changed);
        EXPECT_EQ(inputIndices(outliers), inputIndices(supervoxelOf(points).cloud));
        EXPECT_EQ(outliers->width, 10u);
        EXPECT_EQ(outliers->height, 1u);
        EXPECT_TRUE(sharing.cloud->points.empty());  // emptied in place
    }
}

TEST(OrsaPlanar, plane_is_rejected_when_kappa_exceeds_its_points_or_its_worst_inlier_is_at_tau)
{
    std::vector<WorkPoint> grid;
    for (int i = 0; i < 12; ++i) grid.push_back(point(i % 4, i / 4, 0, i));
    const Outcome fewPoints = runTest(grid, 13, 0.1, 0.0);
    EXPECT_TRUE(fewPoints.changed);
    EXPECT_EQ(fewPoints.outliers->points.size(), 12u);
    EXPECT_TRUE(fewPoints.supervoxel.cloud->points.empty());

    // Only the base plane scores; the fourth point lies exactly 1 above it.
    const std::vector<WorkPoint> tetrahedron = {point(0, 0, 0, 0), point(6, 0, 0, 1), point(0, 6, 0, 2),
                                                point(1, 1, 1, 3)};
    const Outcome atTau = runTest(tetrahedron, 4, 1.0, 1.0);
    EXPECT_TRUE(atTau.changed);
    EXPECT_TRUE(atTau.supervoxel.cloud->points.empty());
    const Outcome inside = runTest(tetrahedron, 4, 1.0000001, 1.0);
    EXPECT_FALSE(inside.changed);  // all four are inliers: nothing to do
    EXPECT_FALSE(inside.outliers);
    EXPECT_EQ(inside.supervoxel.cloud->points.size(), 4u);
}

TEST(OrsaPlanar, partly_planar_cloud_is_cut_down_to_its_plane)
{
    const std::vector<WorkPoint> points = partlyPlanarPoints(3);
    const Outcome outcome = runTest(points, 10, 0.05, 0.0);
    ASSERT_TRUE(outcome.changed);
    // The cut may leave out patch points of largest residual (a tighter cut
    // can score better), never an off-plane point.
    const std::vector<std::uint32_t> kept = inputIndices(outcome.supervoxel.cloud);
    const std::vector<std::uint32_t> cut = inputIndices(outcome.outliers);
    std::set<std::uint32_t> all(kept.begin(), kept.end());
    all.insert(cut.begin(), cut.end());
    EXPECT_EQ(all.size(), 75u);
    EXPECT_EQ(kept.size() + cut.size(), 75u);
    EXPECT_GE(kept.size(), 55u);
    EXPECT_LT(*std::max_element(kept.begin(), kept.end()), 60u);
    EXPECT_EQ(outcome.supervoxel.cloud->width, kept.size());
    EXPECT_EQ(outcome.outliers->width, cut.size());

    // The same cloud meets the same samples: an identical result, orders included.
    const Outcome again = runTest(points, 10, 0.05, 0.0);
    EXPECT_EQ(inputIndices(again.supervoxel.cloud), kept);
    EXPECT_EQ(inputIndices(again.outliers), cut);
}

TEST(OrsaPlanar, same_outcome_with_the_literal_exchange_sort)
{
    // Grids on exact planes put many points at equal distances, so the tie
    // order decides which points fall inside a cut.
    std::vector<WorkPoint> grid, steps;
    for (int i = 0; i < 64; ++i) grid.push_back(point(i % 8, i / 8, 0, i));
    for (int i = 0; i < 10; ++i) grid.push_back(point(i % 5, 2 * (i / 5), 0.3f, 64 + i));
    for (int i = 0; i < 90; ++i) steps.push_back(point(i % 9, (i / 9) % 5, 0.25f * (i / 45), i));
    for (const std::vector<WorkPoint>& points : {grid, steps, partlyPlanarPoints(11)}) {
        for (double tau : {0.1, 0.3, 0.5}) {
            const Outcome fast = runTest(points, 4, tau, 0.0);
            const Outcome literal = runTest(points, 4, tau, 0.0, vela_reference::exchangeSortResidualsWithBuffers);
            EXPECT_EQ(fast.changed, literal.changed) << points.size() << " points, tau " << tau;
            EXPECT_EQ(inputIndices(fast.supervoxel.cloud), inputIndices(literal.supervoxel.cloud));
            EXPECT_EQ(inputIndices(fast.outliers), inputIndices(literal.outliers));
        }
    }
}

TEST(OrsaPlanar, same_outcome_with_the_literal_exchange_sort_on_centimetre_grids)
{
    // Coordinates on a 1 cm grid, as in LAS clouds, put many points at equal
    // single-precision distances from planes through three of them (whole
    // layers of the level clouds); one cloud holds a point that is not a
    // number, whose distances go the slow way.
    for (unsigned seed = 1; seed <= 6; ++seed) {
        std::mt19937 random(seed);
        std::uniform_int_distribution<int> cell(0, 300);
        std::vector<WorkPoint> points;
        const int n = 120 + 40 * static_cast<int>(seed);
        for (int i = 0; i < n; ++i) {
            const int x = cell(random), y = cell(random);
            const int z = i % 10 < 7 ? (seed % 2 ? 0 : (3 * x - 2 * y) / 10) + static_cast<int>(random() % 3)
                                     : cell(random);
            points.push_back(point(0.01f * x, 0.01f * y, 0.01f * z, static_cast<std::uint32_t>(i)));
        }
        if (seed == 3) points[17].x = NAN;
        for (double tau : {0.02, 0.1}) {
            const Outcome fast = runTest(points, 10, tau, 0.0);
            const Outcome literal = runTest(points, 10, tau, 0.0, vela_reference::exchangeSortResidualsWithBuffers);
            EXPECT_EQ(fast.result, literal.result) << "seed " << seed << ", tau " << tau;
            EXPECT_EQ(fast.changed, literal.changed) << "seed " << seed << ", tau " << tau;
            EXPECT_EQ(inputIndices(fast.supervoxel.cloud), inputIndices(literal.supervoxel.cloud));
            EXPECT_EQ(inputIndices(fast.outliers), inputIndices(literal.outliers));
        }
    }
}

}  // namespace
}  // namespace vela
