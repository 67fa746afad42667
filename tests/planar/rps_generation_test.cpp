#include "planar/rps_generation.h"

#include <cmath>
#include <iostream>
#include <sstream>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "planar_test_points.h"
#include "planar/detail/hypothesis_search.h"
#include "planar/orsa_planar.h"
#include "supervoxel/plane_fit.h"
#include "support/stage_parameters.h"
#include "support/thread_counts.h"

namespace vela {
namespace {

using testsupport::planeTestParameters;
using vela_test::inputIndices;
using vela_test::point;
using vela_test::supervoxelOf;

// Supervoxel `marker` (kept in its label): a small exact plane, or points on
// a line, which the plane test rejects, with a residual above any tau here.
Supervoxel markedSupervoxel(int marker, bool line)
{
    std::vector<WorkPoint> points;
    const std::uint32_t first = 100 * marker;
    for (std::uint32_t i = 0; i < 6; ++i) {
        points.push_back(line ? point(i, i, i, first + i) : point(i % 3, i / 3, 0, first + i));
    }
    Supervoxel supervoxel = supervoxelOf(points, line ? 1.0 : 0.0);
    supervoxel.descriptor.label = marker;
    supervoxel.id = marker;
    return supervoxel;
}

SupervoxelSet setOf(const std::vector<Supervoxel>& supervoxels, int independentPoints)
{
    SupervoxelSet set;
    set.supervoxels = supervoxels;
    set.planarCount = static_cast<std::int32_t>(supervoxels.size());
    std::vector<WorkPoint> independent;
    for (int i = 0; i < independentPoints; ++i) independent.push_back(point(i, -5, 3, 9000 + i));
    set.independent.push_back(supervoxelOf(independent));
    set.independent[0].cloud->width = set.independent[0].cloud->height = 0;
    set.nonplanarCount = 1;
    return set;
}

std::vector<int> labelsAndIds(const SupervoxelSet& set)
{
    std::vector<int> result;
    for (const Supervoxel& s : set.supervoxels) result.insert(result.end(), {s.descriptor.label, s.id});
    return result;
}

TEST(GenerateRps, supervoxels_within_tau_are_left_as_they_are)
{
    std::vector<Supervoxel> supervoxels = {markedSupervoxel(0, false), markedSupervoxel(1, false),
                                           markedSupervoxel(2, false)};
    supervoxels[1].descriptor.maxResidual = 0.1;  // exactly tau: not tested
    supervoxels[2].descriptor.maxResidual = std::nan("");
    supervoxels[2].id = 40;  // ids stay as they are when nothing is removed
    SupervoxelSet set = setOf(supervoxels, 5);
    const WorkCloud firstCloud = set.supervoxels[0].cloud;

    EXPECT_TRUE(generateRPS(set, planeTestParameters(4, 0.1, 0.0)));
    EXPECT_EQ(labelsAndIds(set), (std::vector<int>{0, 0, 1, 1, 2, 40}));
    EXPECT_EQ(set.supervoxels[0].cloud, firstCloud);
    EXPECT_EQ(set.supervoxels[0].cloud->points.size(), 6u);
    EXPECT_EQ(set.independent[0].cloud->width, 5u);
    EXPECT_EQ(set.independent[0].cloud->height, 1u);
}

TEST(GenerateRps, rejected_supervoxels_are_erased_and_the_rest_renumbered)
{
    std::vector<Supervoxel> supervoxels;
    for (int i = 0; i < 8; ++i) supervoxels.push_back(markedSupervoxel(i, i == 2 || i == 5));
    SupervoxelSet set = setOf(supervoxels, 2);
    const Supervoxel sharingSecond = set.supervoxels[2];

    EXPECT_TRUE(generateRPS(set, planeTestParameters(4, 0.1, 0.0)));
    EXPECT_EQ(set.planarCount, 6);
    EXPECT_EQ(labelsAndIds(set), (std::vector<int>{0, 0, 1, 1, 3, 2, 4, 3, 6, 4, 7, 5}));
    EXPECT_TRUE(sharingSecond.cloud->points.empty());
    EXPECT_EQ(inputIndices(set.independent[0].cloud),
              (std::vector<std::uint32_t>{9000, 9001, 200, 201, 202, 203, 204, 205, 500, 501, 502, 503, 504, 505}));
    EXPECT_EQ(set.independent[0].cloud->width, 14u);
    EXPECT_EQ(set.independent[0].cloud->height, 1u);
}

TEST(GenerateRps, failed_test_is_reported_at_the_position_before_removals)
{
    Supervoxel triangle = supervoxelOf({point(0, 0, 0, 50), point(1, 0, 0, 51), point(0, 1, 0, 52)}, 0.5);
    triangle.descriptor.label = 1;
    SupervoxelSet set = setOf({markedSupervoxel(0, true), triangle, markedSupervoxel(2, false)}, 0);

    testing::internal::CaptureStdout();
    EXPECT_TRUE(generateRPS(set, planeTestParameters(4, 0.1, 0.0)));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "supervoxel 1 ORSA_Planar() failed.\n");
    EXPECT_EQ(labelsAndIds(set), (std::vector<int>{1, 0, 2, 1}));
    EXPECT_EQ(set.supervoxels[0].cloud->points.size(), 3u);
    EXPECT_EQ(set.supervoxels[0].descriptor.maxResidual, 0.5);
}

TEST(GenerateRps, partly_planar_supervoxel_is_cut_until_it_fits)
{
    std::mt19937 random(21);
    std::uniform_real_distribution<float> noise(-0.002f, 0.002f);
    std::uniform_real_distribution<float> height(0.3f, 1.5f);
    std::vector<WorkPoint> points;
    for (std::uint32_t i = 0; i < 80; ++i) {
        const float z = i < 64 ? noise(random) : height(random);  // 16 points off the plane
        points.push_back(point(0.25f * (i % 8) + noise(random), 0.25f * (i / 8 % 8), z, i));
    }
    Supervoxel mixed = supervoxelOf(points);
    refitSupervoxel(mixed, true);
    mixed.descriptor.label = 3;
    mixed.descriptor.colour = {10, 20, 30};
    ASSERT_GT(mixed.descriptor.maxResidual, 0.05);
    SupervoxelSet set = setOf({mixed}, 0);

    EXPECT_TRUE(generateRPS(set, planeTestParameters(10, 0.05, 0.0)));
    ASSERT_EQ(set.planarCount, 1);
    const Supervoxel& cut = set.supervoxels[0];
    EXPECT_LE(cut.descriptor.maxResidual, 0.05);
    EXPECT_GE(cut.cloud->points.size(), 56u);
    for (const WorkPoint& p : cut.cloud->points) EXPECT_LT(inputIndex(p), 64u);
    EXPECT_EQ(cut.cloud->points.size() + set.independent[0].cloud->points.size(), 80u);
    EXPECT_EQ(cut.descriptor.label, 3);
    EXPECT_EQ(cut.descriptor.colour.g, 20);
}

// The stage written out one supervoxel after the other: each test appends
// its outliers at once and prints its failure where it happens.
void literalGenerateRps(SupervoxelSet& set, const VELA::tag_VELAParameter& para)
{
    std::vector<int> removed;
    for (int i = 0; i < set.planarCount; ++i) {
        Supervoxel& supervoxel = set.supervoxels[static_cast<std::size_t>(i)];
        while (supervoxel.descriptor.maxResidual > para.tau) {
            WorkCloud outliers;
            bool changed = false;
            if (!ORSA_Planar(supervoxel, outliers, changed, para.kappa, para.tau, para.epsilon)) {
                std::cout << "supervoxel " << i << " ORSA_Planar() failed." << std::endl;
                break;
            }
            if (!changed) break;
            std::vector<WorkPoint, Eigen::aligned_allocator<WorkPoint>>& independent = set.independent[0].cloud->points;
            independent.insert(independent.end(), outliers->points.begin(), outliers->points.end());
            if (supervoxel.cloud->points.empty()) {
                removed.push_back(i);
                break;
            }
            refitSupervoxel(supervoxel, true);
        }
    }
    for (std::size_t j = 0; j < removed.size(); ++j)
        set.supervoxels.erase(set.supervoxels.begin() + (removed[j] - static_cast<int>(j)));
    set.planarCount -= static_cast<std::int32_t>(removed.size());
    if (!removed.empty())
        for (int i = 0; i < set.planarCount; ++i) set.supervoxels[static_cast<std::size_t>(i)].id = i;
    setRowShape(*set.independent[0].cloud);
}

// Forty supervoxels, each a copy with clouds of its own: noisy planes with
// stray points, lines, three-point triangles and fits within tau.
SupervoxelSet mixedSet()
{
    std::mt19937 random(5);
    std::uniform_real_distribution<float> noise(-0.002f, 0.002f);
    std::uniform_real_distribution<float> height(0.3f, 1.5f);
    std::vector<Supervoxel> supervoxels;
    for (int s = 0; s < 40; ++s) {
        if (s % 7 == 3) {
            Supervoxel triangle = supervoxelOf({point(0, 0, 0, 50), point(1, 0, 0, 51), point(0, 1, 0, 52)}, 0.5);
            triangle.descriptor.label = s;
            supervoxels.push_back(triangle);
            continue;
        }
        if (s % 5 == 1) {
            supervoxels.push_back(markedSupervoxel(s, s % 2 == 0));
            continue;
        }
        std::vector<WorkPoint> points;
        const int strays = s % 4 == 0 ? 40 : 12;
        for (int i = 0; i < 90; ++i) {
            const float z = i < 90 - strays ? noise(random) : height(random);
            points.push_back(point(0.2f * static_cast<float>(i % 9), 0.2f * static_cast<float>(i / 9), z,
                                   static_cast<std::uint32_t>(1000 * s + i)));
        }
        Supervoxel mixed = supervoxelOf(points);
        refitSupervoxel(mixed, true);
        mixed.descriptor.label = s;
        supervoxels.push_back(mixed);
    }
    return setOf(supervoxels, 3);
}

TEST(GenerateRps, any_thread_count_cuts_as_one_supervoxel_after_the_other)
{
    const VELA::tag_VELAParameter para = planeTestParameters(20, 0.05, 0.0);
    SupervoxelSet want = mixedSet();
    testing::internal::CaptureStdout();
    literalGenerateRps(want, para);
    const std::string wantPrinted = testing::internal::GetCapturedStdout();
    ASSERT_NE(wantPrinted, "");
    ASSERT_LT(want.planarCount, 40);

    struct Run {
        SupervoxelSet set;
        std::string printed;
    };
    const std::vector<Run> runs = testsupport::onEachThreadCount([&] {
        Run run{mixedSet(), ""};
        testing::internal::CaptureStdout();
        generateRPS(run.set, para);
        run.printed = testing::internal::GetCapturedStdout();
        return run;
    });
    for (std::size_t t = 0; t < runs.size(); ++t) {
        SCOPED_TRACE(testsupport::kThreadCounts[t]);
        const SupervoxelSet& got = runs[t].set;
        EXPECT_EQ(runs[t].printed, wantPrinted);
        EXPECT_EQ(labelsAndIds(got), labelsAndIds(want));
        ASSERT_EQ(got.supervoxels.size(), want.supervoxels.size());
        for (std::size_t i = 0; i < got.supervoxels.size(); ++i) {
            EXPECT_EQ(inputIndices(got.supervoxels[i].cloud), inputIndices(want.supervoxels[i].cloud));
            EXPECT_EQ(got.supervoxels[i].descriptor.maxResidual, want.supervoxels[i].descriptor.maxResidual);
        }
        EXPECT_EQ(inputIndices(got.independent[0].cloud), inputIndices(want.independent[0].cloud));
        EXPECT_EQ(got.independent[0].cloud->width, want.independent[0].cloud->width);
    }
}

TEST(GenerateRps, any_thread_count_cuts_a_large_supervoxel_beside_small_ones_as_one_after_the_other)
{
    // The large supervoxel's search is shared among the threads, which take
    // the small ones beside it.
    std::mt19937 random(17);
    std::uniform_real_distribution<float> across(0.0f, 20.0f);
    std::uniform_real_distribution<float> noise(-0.003f, 0.003f);
    std::uniform_real_distribution<float> height(0.2f, 3.0f);
    std::vector<WorkPoint> points;
    for (int i = 0; i < kSharedSearchPoints + 500; ++i) {
        const float x = across(random), y = across(random);
        const float z = i % 5 != 0 ? 0.01f * y + noise(random) : height(random);
        points.push_back(point(x, y, z, static_cast<std::uint32_t>(100000 + i)));
    }
    Supervoxel large = supervoxelOf(points);
    refitSupervoxel(large, true);
    large.descriptor.label = 40;
    auto setWithLarge = [&large] {
        SupervoxelSet set = mixedSet();
        Supervoxel own = large;
        own.cloud = makeWorkCloud();
        *own.cloud = *large.cloud;
        set.supervoxels.insert(set.supervoxels.begin() + 7, own);
        ++set.planarCount;
        return set;
    };
    const VELA::tag_VELAParameter para = planeTestParameters(20, 0.02, 0.0);
    SupervoxelSet want = setWithLarge();
    {
        const PoolSize one(1);
        testing::internal::CaptureStdout();
        literalGenerateRps(want, para);
        testing::internal::GetCapturedStdout();
    }
    // Cut down to its plane: the strays are gone.
    std::size_t kept = 0;
    for (const Supervoxel& supervoxel : want.supervoxels)
        if (supervoxel.descriptor.label == 40) kept = supervoxel.cloud->points.size();
    EXPECT_LT(kept, points.size() - 400);
    EXPECT_GT(kept, points.size() / 2);
    const std::vector<SupervoxelSet> got = testsupport::onEachThreadCount([&] {
        SupervoxelSet set = setWithLarge();
        testing::internal::CaptureStdout();
        generateRPS(set, para);
        testing::internal::GetCapturedStdout();
        return set;
    });
    for (std::size_t t = 0; t < got.size(); ++t) {
        SCOPED_TRACE(testsupport::kThreadCounts[t]);
        EXPECT_EQ(labelsAndIds(got[t]), labelsAndIds(want));
        ASSERT_EQ(got[t].supervoxels.size(), want.supervoxels.size());
        for (std::size_t i = 0; i < want.supervoxels.size(); ++i)
            EXPECT_EQ(inputIndices(got[t].supervoxels[i].cloud), inputIndices(want.supervoxels[i].cloud));
        EXPECT_EQ(inputIndices(got[t].independent[0].cloud), inputIndices(want.independent[0].cloud));
    }
}

TEST(GenerateRps, supervoxels_sharing_a_cloud_are_cut_one_after_the_other)
{
    // The line is rejected and its cloud emptied in place: the copy sharing
    // it then has nothing left to test, whatever the thread count.
    const Supervoxel line = markedSupervoxel(0, true);
    for (int threads : testsupport::kThreadCounts) {
        const PoolSize pool(threads);
        SupervoxelSet set = setOf({line, markedSupervoxel(1, false), line}, 0);
        set.supervoxels[0].cloud = makeWorkCloud();
        set.supervoxels[0].cloud->points = line.cloud->points;
        set.supervoxels[2].cloud = set.supervoxels[0].cloud;
        testing::internal::CaptureStdout();
        EXPECT_TRUE(generateRPS(set, planeTestParameters(4, 0.1, 0.0)));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "supervoxel 2 ORSA_Planar() failed.\n") << threads;
        EXPECT_EQ(labelsAndIds(set), (std::vector<int>{1, 0, 0, 1}));
        EXPECT_EQ(set.independent[0].cloud->points.size(), 6u);
    }
}

}  // namespace
}  // namespace vela
