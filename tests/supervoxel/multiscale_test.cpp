#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "supervoxel/multiscale.h"
#include "supervoxel/plane_fit.h"
#include "support/stage_parameters.h"
#include "support/thread_counts.h"

namespace {

using testsupport::multiScaleParameters;
using vela::SupervoxelSet;
using vela::WorkCloud;

void addPoint(WorkCloud& cloud, float x, float y, float z)
{
    vela::WorkPoint p;
    p.x = x;
    p.y = y;
    p.z = z;
    p.rgba = static_cast<std::uint32_t>(cloud->points.size());
    cloud->points.push_back(p);
}

// A flat 5 x 4 patch (20 points) at z = 0 with its corner at (x0, 0).
void addPatch(WorkCloud& cloud, float x0, int count)
{
    for (int i = 0; i < count; ++i) addPoint(cloud, x0 + 0.1f * static_cast<float>(i % 5), 0.1f * static_cast<float>(i / 5), 0.0f);
}

TEST(MultiScale, no_level_is_cut_when_rmin_reaches_rmax_or_the_cloud_is_small)
{
    WorkCloud cloud = vela::makeWorkCloud();
    addPatch(cloud, 0.0f, 20);
    for (const auto& c : {std::make_pair(1.0, 1.0), std::make_pair(1.0, 2.0)}) {
        SupervoxelSet set;
        EXPECT_TRUE(vela::segmentMultiScale(cloud, set, multiScaleParameters(c.first, c.second, 0.8, 20, 0.05)));
        EXPECT_EQ(set.planarCount, 0);
        ASSERT_EQ(set.nonplanarCount, 1);
        EXPECT_EQ(set.independent[0].cloud, cloud);  // shared, not copied
        EXPECT_EQ(set.independent[0].descriptor.planar, 0);
        EXPECT_EQ(set.independent[0].descriptor.colour.r, 255);
    }
    SupervoxelSet set;
    vela::segmentMultiScale(cloud, set, multiScaleParameters(2.0, 0.1, 0.8, 21, 0.05));
    EXPECT_EQ(set.planarCount, 0);
    ASSERT_EQ(set.nonplanarCount, 1);
    EXPECT_EQ(set.independent[0].cloud, cloud);
}

TEST(MultiScale, a_cluster_of_exactly_kappa_points_is_tested_and_one_less_is_not)
{
    // Two flat patches far apart: each is one cell, so each becomes one
    // cluster. Both are planar; only the one with kappa points is kept.
    WorkCloud cloud = vela::makeWorkCloud();
    addPatch(cloud, 0.0f, 20);
    addPatch(cloud, 100.0f, 19);
    SupervoxelSet set;
    EXPECT_TRUE(vela::segmentMultiScale(cloud, set, multiScaleParameters(1.0, 0.1, 0.8, 20, 0.05)));
    ASSERT_EQ(set.planarCount, 1);
    EXPECT_EQ(set.supervoxels[0].cloud->points.size(), 20u);
    EXPECT_EQ(set.supervoxels[0].cloud->width, 20u);
    EXPECT_EQ(set.supervoxels[0].id, 0);
    EXPECT_EQ(set.supervoxels[0].descriptor.planar, 1);
    ASSERT_EQ(set.nonplanarCount, 1);
    ASSERT_EQ(set.independent[0].cloud->points.size(), 19u);
    EXPECT_EQ(set.independent[0].cloud->points[0].rgba, 20u);  // input index travels with the point
}

TEST(MultiScale, level_where_everything_is_planar_leaves_an_empty_independent_record)
{
    WorkCloud cloud = vela::makeWorkCloud();
    addPatch(cloud, 0.0f, 20);
    addPatch(cloud, 100.0f, 20);
    SupervoxelSet set;
    EXPECT_TRUE(vela::segmentMultiScale(cloud, set, multiScaleParameters(1.0, 0.1, 0.8, 20, 0.05)));
    ASSERT_EQ(set.planarCount, 2);
    EXPECT_EQ(set.supervoxels[1].id, 1);
    ASSERT_EQ(set.nonplanarCount, 1);
    EXPECT_TRUE(set.independent[0].cloud->points.empty());
    const vela::ColourRGB white{255, 255, 255};
    EXPECT_EQ(set.independent[0].descriptor.colour.g, white.g);
    // The first two colours of mt19937 seeded 5489.
    const vela::ColourRGB& c0 = set.supervoxels[0].descriptor.colour;
    const vela::ColourRGB& c1 = set.supervoxels[1].descriptor.colour;
    EXPECT_EQ((std::vector<int>{c0.r, c0.g, c0.b}), (std::vector<int>{145, 187, 92}));
    EXPECT_EQ((std::vector<int>{c1.r, c1.g, c1.b}), (std::vector<int>{174, 158, 246}));
}

TEST(MultiScale, a_supervoxel_whose_curvature_equals_phic_is_planar_and_one_just_above_is_not)
{
    // A rippled 6 x 6 patch: a level far coarser than the patch makes it one
    // cluster of all its points in point order, so the fit below is the one
    // the planarity test sees.
    WorkCloud cloud = vela::makeWorkCloud();
    for (int i = 0; i < 36; ++i)
        addPoint(cloud, 0.1f * static_cast<float>(i % 6), 0.1f * static_cast<float>(i / 6),
                 0.01f * static_cast<float>((i * 7) % 5));
    vela::PlaneDescriptor fit;
    vela::fitPlaneDescriptor(cloud, fit, true);
    ASSERT_GT(fit.curvature, 0.0);
    ASSERT_GT(fit.planarity, fit.linearity);
    ASSERT_GT(fit.planarity, fit.scattering);

    SupervoxelSet atBound;
    vela::segmentMultiScale(cloud, atBound, multiScaleParameters(100.0, 1.0, 0.5, 20, fit.curvature));
    ASSERT_EQ(atBound.planarCount, 1);
    EXPECT_EQ(atBound.supervoxels[0].descriptor.curvature, fit.curvature);
    EXPECT_TRUE(atBound.independent[0].cloud->points.empty());

    SupervoxelSet belowBound;
    const double phic = std::nextafter(fit.curvature, 0.0);
    vela::segmentMultiScale(cloud, belowBound, multiScaleParameters(100.0, 1.0, 0.5, 20, phic));
    EXPECT_EQ(belowBound.planarCount, 0);
    EXPECT_EQ(belowBound.independent[0].cloud->points.size(), 36u);
}

TEST(MultiScale, every_input_point_ends_in_exactly_one_record)
{
    // Two planes, a cylinder and scattered points.
    WorkCloud cloud = vela::makeWorkCloud();
    std::mt19937 gen(21);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int i = 0; i < 4000; ++i) addPoint(cloud, 4 * u(gen), 4 * u(gen), 0.0f);
    for (int i = 0; i < 3000; ++i) addPoint(cloud, 0.0f, 4 * u(gen), 3 * u(gen));
    for (int i = 0; i < 2000; ++i) {
        const float a = 6.2831853f * u(gen);
        addPoint(cloud, 2.5f + 0.5f * std::cos(a), 2.0f + 0.5f * std::sin(a), 3 * u(gen));
    }
    for (int i = 0; i < 300; ++i) addPoint(cloud, 4 * u(gen), 4 * u(gen), 3 * u(gen));
    SupervoxelSet set;
    EXPECT_TRUE(vela::segmentMultiScale(cloud, set, multiScaleParameters(1.0, 0.1, 0.794328, 20, 0.05)));
    EXPECT_GT(set.planarCount, 10);
    EXPECT_EQ(set.planarCount, static_cast<int>(set.supervoxels.size()));
    ASSERT_EQ(set.nonplanarCount, 1);
    std::vector<int> seen(cloud->points.size(), 0);
    for (int i = 0; i < set.planarCount; ++i) {
        const vela::Supervoxel& s = set.supervoxels[static_cast<std::size_t>(i)];
        EXPECT_EQ(s.id, i);
        EXPECT_EQ(s.descriptor.planar, 1);
        EXPECT_GE(static_cast<int>(s.cloud->points.size()), 20);
        EXPECT_LE(s.descriptor.curvature, 0.05);
        for (const auto& p : s.cloud->points) ++seen[p.rgba];
    }
    for (const auto& p : set.independent[0].cloud->points) ++seen[p.rgba];
    for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], 1) << "input point " << i;

    // A second call colours with the same sequence and finds the same.
    SupervoxelSet again;
    vela::segmentMultiScale(cloud, again, multiScaleParameters(1.0, 0.1, 0.794328, 20, 0.05));
    ASSERT_EQ(again.planarCount, set.planarCount);
    EXPECT_EQ(again.supervoxels.back().descriptor.colour.b, set.supervoxels.back().descriptor.colour.b);
    EXPECT_EQ(again.supervoxels.back().cloud->points.size(), set.supervoxels.back().cloud->points.size());
}

TEST(MultiScale, levels_run_coarse_to_fine_and_merge_earlier_independent_records)
{
    WorkCloud cloud = vela::makeWorkCloud();
    addPatch(cloud, 0.0f, 20);
    SupervoxelSet set;
    vela::Supervoxel earlier;
    earlier.cloud = vela::makeWorkCloud();
    addPoint(earlier.cloud, 9.0f, 9.0f, 9.0f);
    set.independent.push_back(earlier);
    set.nonplanarCount = 1;

    std::vector<double> resolutions;
    const vela::LevelObserver observer = [&](const vela::LevelReport& r) { resolutions.push_back(r.resolution); };
    vela::segmentMultiScale(cloud, set, multiScaleParameters(1.0, 0.5, 0.5, 20, 0.05), &observer);
    EXPECT_EQ(resolutions, std::vector<double>({1.0}));
    ASSERT_EQ(set.nonplanarCount, 1);
    EXPECT_EQ(set.independent[0].cloud->points.size(), 1u);
    EXPECT_EQ(set.independent[0].cloud->width, 1u);
    EXPECT_EQ(set.independent[0].descriptor.colour.r, 255);
}

// Same supervoxels, same points in the same order, same planes and colours.
void expectSameSets(const SupervoxelSet& a, const SupervoxelSet& b)
{
    ASSERT_EQ(a.planarCount, b.planarCount);
    ASSERT_EQ(a.supervoxels.size(), b.supervoxels.size());
    for (std::size_t i = 0; i < a.supervoxels.size(); ++i) {
        const vela::Supervoxel& s = a.supervoxels[i];
        const vela::Supervoxel& t = b.supervoxels[i];
        ASSERT_EQ(s.cloud->points.size(), t.cloud->points.size()) << "supervoxel " << i;
        for (std::size_t k = 0; k < s.cloud->points.size(); ++k) ASSERT_EQ(s.cloud->points[k].rgba, t.cloud->points[k].rgba);
        EXPECT_EQ(s.descriptor.d, t.descriptor.d);
        EXPECT_EQ(s.descriptor.curvature, t.descriptor.curvature);
        EXPECT_EQ(s.descriptor.colour.g, t.descriptor.colour.g);
    }
    ASSERT_EQ(a.independent.size(), b.independent.size());
    for (std::size_t i = 0; i < a.independent.size(); ++i) {
        ASSERT_EQ(a.independent[i].cloud->points.size(), b.independent[i].cloud->points.size());
        for (std::size_t k = 0; k < a.independent[i].cloud->points.size(); ++k)
            ASSERT_EQ(a.independent[i].cloud->points[k].rgba, b.independent[i].cloud->points[k].rgba);
    }
}

TEST(MultiScale, remembered_neighbour_lists_change_nothing)
{
    // A second call on part of the first call's points, as the RPS
    // optimisation makes it: its result must not depend on the memory.
    WorkCloud cloud = vela::makeWorkCloud();
    std::mt19937 gen(8);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int i = 0; i < 5000; ++i) addPoint(cloud, 4 * u(gen), 4 * u(gen), 0.02f * u(gen));
    for (int i = 0; i < 3000; ++i) addPoint(cloud, 4 * u(gen), 0.0f, 3 * u(gen));
    for (int i = 0; i < 1500; ++i) addPoint(cloud, 4 * u(gen), 4 * u(gen), 3 * u(gen));
    vela::NeighbourhoodMemory memory;
    SupervoxelSet first;
    vela::segmentMultiScale(cloud, first, multiScaleParameters(1.0, 0.1, 0.794328, 20, 0.05), nullptr, &memory);
    ASSERT_EQ(memory.members.size(), cloud->points.size());

    // The independent points, then every fourth point of the first planes.
    WorkCloud part = vela::makeWorkCloud();
    part->points = first.independent[0].cloud->points;
    for (int i = 0; i < 4; ++i)
        for (std::size_t k = 0; k < first.supervoxels[static_cast<std::size_t>(i)].cloud->points.size(); k += 4)
            part->points.push_back(first.supervoxels[static_cast<std::size_t>(i)].cloud->points[k]);
    vela::setRowShape(*part);
    SupervoxelSet withMemory, without;
    vela::segmentMultiScale(part, withMemory, multiScaleParameters(1.0, 0.1, 0.794328, 20, 0.05), nullptr, &memory);
    vela::segmentMultiScale(part, without, multiScaleParameters(1.0, 0.1, 0.794328, 20, 0.05));
    EXPECT_GT(without.planarCount, 0);
    expectSameSets(withMemory, without);
    ASSERT_EQ(memory.members.size(), part->points.size());

    // A point the memory does not hold (here: one moved) voids it.
    part->points[7].z += 0.5f;
    SupervoxelSet moved, movedWithout;
    vela::segmentMultiScale(part, moved, multiScaleParameters(1.0, 0.1, 0.794328, 20, 0.05), nullptr, &memory);
    vela::segmentMultiScale(part, movedWithout, multiScaleParameters(1.0, 0.1, 0.794328, 20, 0.05));
    expectSameSets(moved, movedWithout);
}

TEST(MultiScale, any_thread_count_gives_the_same_set)
{
    // Gridded planes (ties everywhere), duplicated points and scatter, cut
    // once and then cut again in part with the memory of the first cut.
    WorkCloud cloud = vela::makeWorkCloud();
    for (int i = 0; i < 80; ++i)
        for (int j = 0; j < 80; ++j) addPoint(cloud, 0.05f * static_cast<float>(i), 0.05f * static_cast<float>(j), 0.0f);
    for (int i = 0; i < 80; ++i)
        for (int k = 1; k < 40; ++k) addPoint(cloud, 0.05f * static_cast<float>(i), 0.0f, 0.05f * static_cast<float>(k));
    std::mt19937 gen(12);
    std::uniform_real_distribution<float> u(0.0f, 4.0f);
    for (int i = 0; i < 2000; ++i) addPoint(cloud, u(gen), u(gen), u(gen));
    for (int i = 0; i < 300; ++i) {
        const vela::WorkPoint copy = cloud->points[static_cast<std::size_t>(11 * i)];
        addPoint(cloud, copy.x, copy.y, copy.z);
    }
    const auto parameters = multiScaleParameters(1.0, 0.1, 0.794328, 20, 0.05);
    struct Cuts {
        SupervoxelSet first, second;
    };
    const std::vector<Cuts> cuts = testsupport::onEachThreadCount([&] {
        Cuts c;
        vela::NeighbourhoodMemory memory;
        vela::segmentMultiScale(cloud, c.first, parameters, nullptr, &memory);
        WorkCloud part = vela::makeWorkCloud();
        part->points = c.first.independent[0].cloud->points;
        for (std::size_t k = 0; k < c.first.supervoxels[0].cloud->points.size(); k += 3)
            part->points.push_back(c.first.supervoxels[0].cloud->points[k]);
        vela::setRowShape(*part);
        vela::segmentMultiScale(part, c.second, parameters, nullptr, &memory);
        return c;
    });
    EXPECT_GT(cuts[0].first.planarCount, 2);
    for (std::size_t t = 1; t < cuts.size(); ++t) {
        SCOPED_TRACE(testsupport::kThreadCounts[t]);
        expectSameSets(cuts[t].first, cuts[0].first);
        expectSameSets(cuts[t].second, cuts[0].second);
    }
}

TEST(MultiScale, a_cut_cloud_comes_back_with_its_points_and_every_record_keeps_their_coordinates)
{
    // Input indices that are not positions: scattered (as when the frame
    // left points out) or consecutive from an offset; planes and scatter cut
    // over several levels, with and without a memory.
    WorkCloud cloud = vela::makeWorkCloud();
    std::mt19937 gen(31);
    std::uniform_real_distribution<float> u(0.0f, 3.0f);
    for (int i = 0; i < 3000; ++i) addPoint(cloud, u(gen), u(gen), 0.0f);
    for (int i = 0; i < 2000; ++i) addPoint(cloud, 0.0f, u(gen), u(gen));
    for (int i = 0; i < 800; ++i) addPoint(cloud, u(gen), u(gen), u(gen));
    vela::setRowShape(*cloud);
    for (std::uint32_t step : {7u, 1u}) {
        for (std::size_t i = 0; i < cloud->points.size(); ++i) cloud->points[i].rgba = static_cast<std::uint32_t>(step * i + 3);
        const pcl::PointCloud<vela::WorkPoint> before = *cloud;
        std::vector<std::size_t> positionOf(step * cloud->points.size() + 3, 0);
        for (std::size_t i = 0; i < cloud->points.size(); ++i) positionOf[step * i + 3] = i;

        for (bool remembering : {false, true}) {
            SCOPED_TRACE(testing::Message() << "index step " << step << (remembering ? ", with memory" : ""));
            SupervoxelSet set;
            vela::NeighbourhoodMemory memory;
            vela::segmentMultiScale(cloud, set, multiScaleParameters(1.0, 0.1, 0.794328, 20, 0.05), nullptr,
                                    remembering ? &memory : nullptr);
            ASSERT_GT(set.planarCount, 3);
            ASSERT_EQ(cloud->points.size(), before.points.size());
            EXPECT_EQ(cloud->width, before.width);
            EXPECT_EQ(cloud->height, before.height);
            for (std::size_t i = 0; i < before.points.size(); ++i) {
                const vela::WorkPoint& got = cloud->points[i];
                const vela::WorkPoint& want = before.points[i];
                ASSERT_TRUE(got.x == want.x && got.y == want.y && got.z == want.z && got.rgba == want.rgba &&
                            got.data[3] == want.data[3])
                    << "point " << i;
            }
            std::size_t seen = 0;
            auto check = [&](const vela::Supervoxel& s) {
                for (const vela::WorkPoint& p : s.cloud->points) {
                    ASSERT_LT(p.rgba, positionOf.size());
                    const vela::WorkPoint& want = before.points[positionOf[p.rgba]];
                    ASSERT_EQ(p.rgba, want.rgba);
                    ASSERT_TRUE(p.x == want.x && p.y == want.y && p.z == want.z) << "input " << p.rgba;
                    ++seen;
                }
            };
            for (const vela::Supervoxel& s : set.supervoxels) check(s);
            for (const vela::Supervoxel& s : set.independent) check(s);
            EXPECT_EQ(seen, before.points.size());

            // A caller that does not read the cloud again leaves it to the
            // cut and gets the same set.
            WorkCloud given = vela::makeWorkCloud();
            *given = before;
            SupervoxelSet without;
            vela::NeighbourhoodMemory otherMemory;
            vela::segmentMultiScale(given, without, multiScaleParameters(1.0, 0.1, 0.794328, 20, 0.05), nullptr,
                                    remembering ? &otherMemory : nullptr, false);
            EXPECT_TRUE(given->points.empty());
            expectSameSets(without, set);
            ASSERT_EQ(otherMemory.members.size(), memory.members.size());
            for (std::size_t i = 0; i < memory.members.size(); ++i) {
                const vela::NeighbourhoodMemory::Member& a = otherMemory.members[i];
                const vela::NeighbourhoodMemory::Member& b = memory.members[i];
                ASSERT_TRUE(a.x == b.x && a.y == b.y && a.z == b.z && a.input == b.input) << "member " << i;
                const vela::WorkPoint& p = before.points[i];
                ASSERT_TRUE(b.x == p.x && b.y == p.y && b.z == p.z && b.input == p.rgba) << "member " << i;
            }
        }
    }
}

TEST(MultiScale, empty_cloud_cannot_be_cut_without_a_minimum)
{
    SupervoxelSet set;
    EXPECT_FALSE(vela::segmentMultiScale(vela::makeWorkCloud(), set, multiScaleParameters(1.0, 0.1, 0.8, 0, 0.05)));
    EXPECT_EQ(set.nonplanarCount, 0);
}

}  // namespace
