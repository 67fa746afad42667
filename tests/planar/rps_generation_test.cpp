#include "planar/rps_generation.h"

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "planar/plane_fit.h"

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

// A small exact plane whose recorded residual is within any tolerance used here.
Supervoxel flatSupervoxel(int marker, std::uint32_t firstIndex)
{
    Supervoxel supervoxel;
    supervoxel.cloud = makeWorkCloud();
    for (std::uint32_t i = 0; i < 6; ++i) supervoxel.cloud->points.push_back(point(i % 3, i / 3, 0, firstIndex + i));
    setRowShape(*supervoxel.cloud);
    supervoxel.descriptor.label = marker;
    supervoxel.descriptor.planar = 1;
    supervoxel.descriptor.maxResidual = 0.0;
    return supervoxel;
}

// Points on a line: no plane through them, so the test rejects them all.
Supervoxel lineSupervoxel(int marker, std::uint32_t firstIndex)
{
    Supervoxel supervoxel;
    supervoxel.cloud = makeWorkCloud();
    for (std::uint32_t t = 0; t < 10; ++t) supervoxel.cloud->points.push_back(point(t, t, t, firstIndex + t));
    setRowShape(*supervoxel.cloud);
    supervoxel.descriptor.label = marker;
    supervoxel.descriptor.planar = 1;
    supervoxel.descriptor.maxResidual = 1.0;
    return supervoxel;
}

SupervoxelSet setOf(const std::vector<Supervoxel>& supervoxels, int independentPoints)
{
    SupervoxelSet set;
    set.supervoxels = supervoxels;
    set.planarCount = static_cast<std::int32_t>(supervoxels.size());
    Supervoxel independent;
    independent.cloud = makeWorkCloud();
    for (int i = 0; i < independentPoints; ++i) independent.cloud->points.push_back(point(i, -5, 3, 9000 + i));
    set.independent.push_back(independent);
    set.nonplanarCount = 1;
    return set;
}

std::vector<int> markers(const SupervoxelSet& set)
{
    std::vector<int> result;
    for (const Supervoxel& s : set.supervoxels) result.push_back(s.descriptor.label);
    return result;
}

std::vector<int> ids(const SupervoxelSet& set)
{
    std::vector<int> result;
    for (const Supervoxel& s : set.supervoxels) result.push_back(s.id);
    return result;
}

std::vector<std::uint32_t> inputIndices(const WorkCloud& cloud)
{
    std::vector<std::uint32_t> indices;
    for (const WorkPoint& p : cloud->points) indices.push_back(inputIndex(p));
    return indices;
}

TEST(GenerateRps, supervoxels_within_tau_are_left_as_they_are)
{
    std::vector<Supervoxel> supervoxels = {flatSupervoxel(0, 0), flatSupervoxel(1, 10), flatSupervoxel(2, 20)};
    supervoxels[1].descriptor.maxResidual = 0.1;  // exactly tau: not tested
    supervoxels[2].descriptor.maxResidual = std::nan("");
    for (int i = 0; i < 3; ++i) supervoxels[i].id = 40 + i;
    SupervoxelSet set = setOf(supervoxels, 5);
    const WorkCloud firstCloud = set.supervoxels[0].cloud;

    EXPECT_TRUE(generateRPS(set, 4, 0.1, 0.0));
    EXPECT_EQ(set.planarCount, 3);
    EXPECT_EQ(ids(set), (std::vector<int>{40, 41, 42}));  // nothing removed, nothing renumbered
    EXPECT_EQ(set.supervoxels[0].cloud, firstCloud);
    EXPECT_EQ(set.supervoxels[0].cloud->points.size(), 6u);
    EXPECT_EQ(set.independent[0].cloud->points.size(), 5u);
    EXPECT_EQ(set.independent[0].cloud->width, 5u);
    EXPECT_EQ(set.independent[0].cloud->height, 1u);
}

TEST(GenerateRps, rejected_supervoxels_are_erased_and_the_rest_renumbered)
{
    std::vector<Supervoxel> supervoxels;
    for (int i = 0; i < 8; ++i) {
        supervoxels.push_back(i == 2 || i == 5 ? lineSupervoxel(i, 100 * i) : flatSupervoxel(i, 100 * i));
        supervoxels.back().id = i;
    }
    SupervoxelSet set = setOf(supervoxels, 2);
    const Supervoxel sharingSecond = set.supervoxels[2];

    EXPECT_TRUE(generateRPS(set, 4, 0.1, 0.0));
    EXPECT_EQ(set.planarCount, 6);
    EXPECT_EQ(markers(set), (std::vector<int>{0, 1, 3, 4, 6, 7}));
    EXPECT_EQ(ids(set), (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_TRUE(sharingSecond.cloud->points.empty());

    std::vector<std::uint32_t> expected = {9000, 9001};
    for (std::uint32_t t = 0; t < 10; ++t) expected.push_back(200 + t);
    for (std::uint32_t t = 0; t < 10; ++t) expected.push_back(500 + t);
    EXPECT_EQ(inputIndices(set.independent[0].cloud), expected);
    EXPECT_EQ(set.independent[0].cloud->width, 22u);
    EXPECT_EQ(set.independent[0].cloud->height, 1u);
}

TEST(GenerateRps, failed_test_is_reported_at_the_position_before_removals)
{
    Supervoxel triangle;
    triangle.cloud = makeWorkCloud();
    triangle.cloud->points = {point(0, 0, 0, 50), point(1, 0, 0, 51), point(0, 1, 0, 52)};
    triangle.descriptor.label = 1;
    triangle.descriptor.maxResidual = 0.5;
    SupervoxelSet set = setOf({lineSupervoxel(0, 0), triangle, flatSupervoxel(2, 60)}, 0);

    testing::internal::CaptureStdout();
    EXPECT_TRUE(generateRPS(set, 4, 0.1, 0.0));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "supervoxel 1 ORSA_Planar() failed.\n");
    EXPECT_EQ(markers(set), (std::vector<int>{1, 2}));
    EXPECT_EQ(ids(set), (std::vector<int>{0, 1}));
    EXPECT_EQ(set.supervoxels[0].cloud->points.size(), 3u);
    EXPECT_EQ(set.supervoxels[0].descriptor.maxResidual, 0.5);
}

TEST(GenerateRps, partly_planar_supervoxel_is_cut_until_it_fits)
{
    std::mt19937 random(21);
    std::uniform_real_distribution<float> noise(-0.002f, 0.002f);
    std::uniform_real_distribution<float> height(0.3f, 1.5f);
    Supervoxel mixed;
    mixed.cloud = makeWorkCloud();
    for (std::uint32_t i = 0; i < 80; ++i) {
        const float z = i < 64 ? noise(random) : height(random);
        mixed.cloud->points.push_back(point(0.25f * (i % 8) + noise(random), 0.25f * (i / 8 % 8), z, i));
    }
    setRowShape(*mixed.cloud);
    refitSupervoxel(mixed, true);
    mixed.descriptor.label = 3;
    mixed.descriptor.planar = 1;
    mixed.descriptor.colour = {10, 20, 30};
    ASSERT_GT(mixed.descriptor.maxResidual, 0.05);
    SupervoxelSet set = setOf({mixed}, 0);

    EXPECT_TRUE(generateRPS(set, 10, 0.05, 0.0));
    ASSERT_EQ(set.planarCount, 1);
    const Supervoxel& cut = set.supervoxels[0];
    EXPECT_LE(cut.descriptor.maxResidual, 0.05);
    EXPECT_GE(cut.cloud->points.size(), 56u);
    for (const WorkPoint& p : cut.cloud->points) EXPECT_LT(inputIndex(p), 64u);
    EXPECT_EQ(cut.cloud->points.size() + set.independent[0].cloud->points.size(), 80u);
    EXPECT_EQ(cut.descriptor.label, 3);
    EXPECT_EQ(cut.descriptor.planar, 1);
    EXPECT_EQ(cut.descriptor.colour.g, 20);
    EXPECT_EQ(set.independent[0].cloud->width, set.independent[0].cloud->points.size());
}

}  // namespace
}  // namespace vela
