#include "planar/orsa_planar.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "exchange_sort_reference.h"

namespace vela {
namespace {

WorkPoint point(float x, float y, float z, std::uint32_t index)
{
    WorkPoint p;
    p.x = x;
    p.y = y;
    p.z = z;
    p.rgba = index;
    return p;
}

WorkCloud cloudOf(const std::vector<WorkPoint>& points)
{
    WorkCloud cloud = makeWorkCloud();
    cloud->points.assign(points.begin(), points.end());
    setRowShape(*cloud);
    return cloud;
}

Supervoxel supervoxelOf(const std::vector<WorkPoint>& points)
{
    Supervoxel supervoxel;
    supervoxel.cloud = cloudOf(points);
    return supervoxel;
}

std::vector<std::uint32_t> inputIndices(const WorkCloud& cloud)
{
    std::vector<std::uint32_t> indices;
    if (cloud) {
        for (const WorkPoint& p : cloud->points) indices.push_back(inputIndex(p));
    }
    return indices;
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
    EXPECT_EQ(nextIterationLimit(50, 100, 3, 20), 71);     // may rise again
    EXPECT_EQ(nextIterationLimit(30, 100, 400, 500), 500);  // never beyond 500
    EXPECT_EQ(nextIterationLimit(100, 100, 495, 500), 500);
    EXPECT_EQ(nextIterationLimit(100, 100, 5, 500), 15);
    EXPECT_EQ(nextIterationLimit(1, 1000000, 3, 123), 123);  // far beyond the int range
}

TEST(DrawPlaneSample, swaps_draws_into_the_front_of_the_shuffle_list)
{
    const WorkCloud cloud = cloudOf({point(0, 0, 0, 0), point(1, 0, 0, 1), point(0, 1, 0, 2), point(0, 0, 1, 3),
                                     point(1, 1, 0, 4), point(1, 0, 1, 5), point(2, 3, 1, 6)});
    std::vector<int> shuffle = {0, 1, 2, 3, 4, 5, 6};
    std::vector<int> expected = shuffle;
    std::mt19937 engine(12345);
    for (int i = 0; i < 3; ++i) std::swap(expected[i], expected[i + static_cast<int>(engine() / 2) % (7 - i)]);

    SampleSource source = makeSampleSource();
    std::vector<int> sample;
    ASSERT_TRUE(drawPlaneSample(cloud, shuffle, 1000, 3, sample, source));
    EXPECT_EQ(shuffle, expected);
    EXPECT_EQ(sample, std::vector<int>(expected.begin(), expected.begin() + 3));
}

TEST(DrawPlaneSample, too_short_a_list_fails_and_collinear_points_give_no_sample)
{
    const WorkCloud cloud = cloudOf({point(0, 0, 0, 0), point(1, 1, 1, 1), point(2, 2, 2, 2), point(3, 3, 3, 3)});
    SampleSource source = makeSampleSource();
    std::vector<int> shuffle = {0, 1};
    std::vector<int> sample = {7};
    EXPECT_FALSE(drawPlaneSample(cloud, shuffle, 1000, 3, sample, source));
    EXPECT_TRUE(sample.empty());

    shuffle = {0, 1, 2, 3};
    sample = {7};
    EXPECT_TRUE(drawPlaneSample(cloud, shuffle, 1000, 3, sample, source));
    EXPECT_TRUE(sample.empty());
}

TEST(PlaneFromSample, unit_normal_and_offset_of_three_points)
{
    const WorkCloud cloud = cloudOf({point(0, 0, 5, 0), point(2, 0, 5, 1), point(0, 3, 5, 2)});
    std::vector<float> plane;
    ASSERT_TRUE(planeFromSample(cloud, {0, 1, 2}, plane));
    EXPECT_EQ(plane, (std::vector<float>{0.0f, 0.0f, 1.0f, -5.0f}));

    std::vector<double> distances;
    const WorkCloud probes = cloudOf({point(7, 7, 5.5f, 0), point(0, 0, 4, 1), point(1, 2, 5, 2)});
    ASSERT_TRUE(planeDistances(probes, plane, {1, 2, 0}, distances));
    EXPECT_EQ(distances, (std::vector<double>{1.0, 0.0, 0.5}));
    EXPECT_FALSE(planeDistances(probes, {0.0f, 0.0f, 1.0f}, {0}, distances));
}

TEST(PlaneFromSample, refuses_samples_that_span_no_plane)
{
    const WorkCloud cloud = cloudOf({point(0, 0, 0, 0), point(1, 1, 1, 1), point(2, 2, 2, 2), point(0, 1, 1, 3),
                                     point(0, 2, 2, 4), point(0, 0, 1, 5)});
    std::vector<float> plane;
    EXPECT_FALSE(planeFromSample(cloud, {0, 1, 2}, plane));     // equal ratios
    EXPECT_FALSE(planeFromSample(cloud, {0, 3, 4}, plane));     // 0/0 on x: collinear all the same
    EXPECT_FALSE(planeFromSample(cloud, {0, 1}, plane));        // not three points
    EXPECT_FALSE(planeFromSample(cloud, {0, 1, 3, 5}, plane));
    EXPECT_TRUE(plane.empty());
}

TEST(OrsaPlanar, too_few_points_fail_and_change_nothing)
{
    for (std::size_t n : {0u, 2u, 3u}) {
        std::vector<WorkPoint> points = {point(0, 0, 0, 0), point(1, 0, 0, 1), point(0, 1, 0, 2)};
        points.resize(n);
        Supervoxel supervoxel = supervoxelOf(points);
        const WorkCloud before = supervoxel.cloud;
        WorkCloud outliers;
        bool changed = false;
        EXPECT_FALSE(ORSA_Planar(supervoxel, outliers, changed, 3, 0.1, 0.0)) << n << " points";
        EXPECT_FALSE(changed);
        EXPECT_FALSE(outliers);
        EXPECT_EQ(supervoxel.cloud, before);
        EXPECT_EQ(supervoxel.cloud->points.size(), n);
    }
}

TEST(OrsaPlanar, points_on_a_line_all_become_outliers)
{
    // (t, t, t): every sample fails the ratio test. (0, t, t): every sample
    // passes it through 0/0 but spans no plane and is skipped; a kappa of 4
    // would accept such a line if its zero-normal plane were scored.
    for (bool zeroOnX : {false, true}) {
        std::vector<WorkPoint> points;
        for (int t = 0; t < 10; ++t) points.push_back(point(zeroOnX ? 0.0f : t, t, t, 100 + t));
        Supervoxel supervoxel = supervoxelOf(points);
        const Supervoxel sharing = supervoxel;
        WorkCloud outliers;
        bool changed = false;
        ASSERT_TRUE(ORSA_Planar(supervoxel, outliers, changed, 4, 0.1, 0.0));
        EXPECT_TRUE(changed);
        EXPECT_EQ(inputIndices(outliers), inputIndices(cloudOf(points)));
        EXPECT_EQ(outliers->width, 10u);
        EXPECT_EQ(outliers->height, 1u);
        EXPECT_TRUE(sharing.cloud->points.empty());  // emptied in place
        EXPECT_EQ(supervoxel.cloud, sharing.cloud);
    }
}

TEST(OrsaPlanar, kappa_above_the_point_count_rejects_a_perfect_plane)
{
    std::vector<WorkPoint> points;
    for (int i = 0; i < 12; ++i) points.push_back(point(i % 4, i / 4, 0, i));
    Supervoxel supervoxel = supervoxelOf(points);
    WorkCloud outliers;
    bool changed = false;
    ASSERT_TRUE(ORSA_Planar(supervoxel, outliers, changed, 13, 0.1, 0.0));
    EXPECT_TRUE(changed);
    EXPECT_EQ(outliers->points.size(), 12u);
    EXPECT_TRUE(supervoxel.cloud->points.empty());
}

TEST(OrsaPlanar, largest_inlier_residual_equal_to_tau_is_not_meaningful)
{
    // Only the base plane scores; its fourth point lies exactly 1 above it.
    const std::vector<WorkPoint> points = {point(0, 0, 0, 0), point(6, 0, 0, 1), point(0, 6, 0, 2),
                                           point(1, 1, 1, 3)};
    Supervoxel atTau = supervoxelOf(points);
    WorkCloud outliers;
    bool changed = false;
    ASSERT_TRUE(ORSA_Planar(atTau, outliers, changed, 4, 1.0, 1.0));
    EXPECT_TRUE(changed);
    EXPECT_TRUE(atTau.cloud->points.empty());

    Supervoxel justInside = supervoxelOf(points);
    const WorkCloud before = justInside.cloud;
    WorkCloud none;
    bool untouched = false;
    ASSERT_TRUE(ORSA_Planar(justInside, none, untouched, 4, 1.0000001, 1.0));
    EXPECT_FALSE(untouched);  // all four are inliers
    EXPECT_FALSE(none);
    EXPECT_EQ(justInside.cloud, before);
    EXPECT_EQ(before->points.size(), 4u);
}

TEST(OrsaPlanar, partly_planar_cloud_is_cut_down_to_its_plane)
{
    const std::vector<WorkPoint> points = partlyPlanarPoints(3);
    Supervoxel supervoxel = supervoxelOf(points);
    const WorkCloud original = supervoxel.cloud;
    WorkCloud outliers;
    bool changed = false;
    ASSERT_TRUE(ORSA_Planar(supervoxel, outliers, changed, 10, 0.05, 0.0));
    ASSERT_TRUE(changed);
    EXPECT_NE(supervoxel.cloud, original);
    EXPECT_EQ(original->points.size(), 75u);  // other holders keep the old cloud

    // The cut may leave out the patch points of largest residual (a tighter
    // cut can score better), never an off-plane point.
    const std::vector<std::uint32_t> kept = inputIndices(supervoxel.cloud);
    const std::vector<std::uint32_t> cut = inputIndices(outliers);
    std::set<std::uint32_t> all(kept.begin(), kept.end());
    all.insert(cut.begin(), cut.end());
    EXPECT_EQ(all.size(), 75u);
    EXPECT_EQ(kept.size() + cut.size(), 75u);
    EXPECT_GE(kept.size(), 55u);
    EXPECT_LT(*std::max_element(kept.begin(), kept.end()), 60u);
    EXPECT_EQ(supervoxel.cloud->width, kept.size());
    EXPECT_EQ(outliers->width, cut.size());
    EXPECT_EQ(outliers->height, 1u);

    // The same cloud meets the same samples: an identical result, orders included.
    Supervoxel again = supervoxelOf(points);
    WorkCloud againOutliers;
    bool againChanged = false;
    ASSERT_TRUE(ORSA_Planar(again, againOutliers, againChanged, 10, 0.05, 0.0));
    EXPECT_EQ(inputIndices(again.cloud), kept);
    EXPECT_EQ(inputIndices(againOutliers), cut);
}

TEST(OrsaPlanar, same_outcome_with_the_literal_exchange_sort)
{
    // Grids on exact planes put many points at equal distances, so the tie
    // order decides which points fall inside a cut.
    std::vector<std::vector<WorkPoint>> clouds;
    std::vector<WorkPoint> grid;
    for (int i = 0; i < 64; ++i) grid.push_back(point(i % 8, i / 8, 0, i));
    for (int i = 0; i < 10; ++i) grid.push_back(point(i % 5, 2 * (i / 5), 0.3f, 64 + i));
    clouds.push_back(grid);
    std::vector<WorkPoint> steps;
    for (int i = 0; i < 90; ++i) steps.push_back(point(i % 9, (i / 9) % 5, 0.25f * (i / 45), i));
    clouds.push_back(steps);
    clouds.push_back(partlyPlanarPoints(11));

    for (std::size_t c = 0; c < clouds.size(); ++c) {
        for (double tau : {0.1, 0.3, 0.5}) {
            Supervoxel fast = supervoxelOf(clouds[c]);
            Supervoxel literal = supervoxelOf(clouds[c]);
            WorkCloud fastOutliers, literalOutliers;
            bool fastChanged = false, literalChanged = false;
            ASSERT_TRUE(ORSA_Planar(fast, fastOutliers, fastChanged, 4, tau, 0.0));
            ASSERT_TRUE(ORSA_Planar(literal, literalOutliers, literalChanged, 4, tau, 0.0,
                                    vela_reference::exchangeSortResidualsWithBuffers));
            EXPECT_EQ(fastChanged, literalChanged) << "cloud " << c << " tau " << tau;
            EXPECT_EQ(inputIndices(fast.cloud), inputIndices(literal.cloud)) << "cloud " << c << " tau " << tau;
            EXPECT_EQ(inputIndices(fastOutliers), inputIndices(literalOutliers)) << "cloud " << c << " tau " << tau;
        }
    }
}

}  // namespace
}  // namespace vela
