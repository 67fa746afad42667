#include <algorithm>
#include <cmath>
#include <random>

#include <gtest/gtest.h>
#include <pcl/kdtree/kdtree_flann.h>

#include "growing/rps_optimization.h"
#include "planar/planar_test_points.h"
#include "supervoxel/plane_fit.h"
#include "support/stage_parameters.h"
#include "support/thread_counts.h"

namespace {

using vela_test::inputIndices;
vela::WorkPoint at(float x, float y, float z, std::uint32_t index) { return vela_test::point(x, y, z, index); }

// A fitted RPS on the plane z = height over [x0, x0 + size] x [0, size],
// points on a 0.25 grid (exact floats).
vela::Supervoxel squareRps(float x0, float size, float height, std::uint32_t firstIndex)
{
    vela::Supervoxel rps;
    rps.cloud = vela::makeWorkCloud();
    for (float x = 0; x <= size; x += 0.25f)
        for (float y = 0; y <= size; y += 0.25f) rps.cloud->points.push_back(at(x0 + x, y, height, firstIndex++));
    vela::setRowShape(*rps.cloud);
    vela::refitSupervoxel(rps, true);
    rps.descriptor.planar = 1;
    return rps;
}

vela::SupervoxelSet setWith(std::vector<vela::Supervoxel> rps, const std::vector<vela::WorkPoint>& independent)
{
    vela::SupervoxelSet set;
    for (vela::Supervoxel& r : rps) {
        r.id = set.planarCount++;
        set.supervoxels.push_back(r);
    }
    vela::Supervoxel rest;
    rest.cloud = vela::makeWorkCloud();
    rest.cloud->points.assign(independent.begin(), independent.end());
    set.independent.push_back(rest);
    set.nonplanarCount = 1;
    return set;
}

std::vector<std::uint32_t> indicesOf(const vela::WorkCloud& cloud) { return inputIndices(cloud); }

bool reassignOnce(vela::SupervoxelSet& set, double gamma, double delta)
{
    std::vector<std::uint8_t> flags(static_cast<std::size_t>(set.planarCount), 1);
    bool changed = false;
    EXPECT_TRUE(vela::reassignIndependentPoints(set, changed, flags, gamma, delta));
    return changed;
}

}  // namespace

TEST(ReassignIndependentPoints, box_enlarged_by_gamma_excludes_its_boundary)
{
    // Box x in [0, 1]; gamma 0.5: x = 1.5 lies exactly on the enlarged boundary.
    vela::SupervoxelSet set = setWith({squareRps(0, 1, 0, 0)}, {at(1.5f, 0.5f, 0, 100), at(1.25f, 0.5f, 0, 101)});
    EXPECT_TRUE(reassignOnce(set, 0.5, 0.05));
    EXPECT_EQ(indicesOf(set.independent[0].cloud), std::vector<std::uint32_t>{100});
    EXPECT_EQ(vela::inputIndex(set.supervoxels[0].cloud->points.back()), 101u);
}

TEST(ReassignIndependentPoints, plane_distance_equal_to_delta_is_accepted)
{
    vela::SupervoxelSet set =
        setWith({squareRps(0, 1, 0, 0)}, {at(0.5f, 0.5f, 0.25f, 100), at(0.5f, 0.5f, 0.2500001f, 101)});
    EXPECT_TRUE(reassignOnce(set, 0.5, 0.25));
    EXPECT_EQ(indicesOf(set.independent[0].cloud), std::vector<std::uint32_t>{101});
}

TEST(ReassignIndependentPoints, equal_plane_distances_go_to_the_nearer_centre)
{
    // Two RPS on the same plane overlapping the point's enlarged box test.
    vela::SupervoxelSet set =
        setWith({squareRps(0, 1, 0, 0), squareRps(1.5f, 1, 0, 1000)}, {at(1.1f, 0.5f, 0.0f, 100)});
    reassignOnce(set, 0.5, 0.05);
    EXPECT_EQ(vela::inputIndex(set.supervoxels[0].cloud->points.back()), 100u);
    set = setWith({squareRps(0, 1, 0, 0), squareRps(1.5f, 1, 0, 1000)}, {at(1.4f, 0.5f, 0.0f, 100)});
    reassignOnce(set, 0.5, 0.05);
    EXPECT_EQ(vela::inputIndex(set.supervoxels[1].cloud->points.back()), 100u);
}

TEST(ReassignIndependentPoints, remaining_points_keep_their_order_and_flags_mark_the_gainers)
{
    vela::SupervoxelSet set = setWith({squareRps(0, 1, 0, 0), squareRps(10, 1, 0, 1000)},
                                      {at(5, 5, 5, 1), at(0.5f, 0.5f, 0.01f, 2), at(6, 6, 6, 3),
                                       at(0.2f, 0.2f, 0.0f, 4), at(7, 7, 7, 5)});
    std::vector<std::uint8_t> flags{1, 1};
    bool changed = false;
    ASSERT_TRUE(vela::reassignIndependentPoints(set, changed, flags, 0.5, 0.05));
    EXPECT_TRUE(changed);
    EXPECT_EQ(flags, (std::vector<std::uint8_t>{1, 0}));
    EXPECT_EQ(indicesOf(set.independent[0].cloud), (std::vector<std::uint32_t>{1, 3, 5}));
    EXPECT_EQ(set.independent[0].cloud->width, 3u);
    const auto& gained = set.supervoxels[0].cloud->points;
    EXPECT_EQ(vela::inputIndex(gained[gained.size() - 2]), 2u);  // in independent-cloud order
    EXPECT_EQ(vela::inputIndex(gained.back()), 4u);
    EXPECT_EQ(set.supervoxels[0].cloud->width, gained.size());

    // Only RPS that gained points are searched next time; none left: false.
    std::fill(flags.begin(), flags.end(), 0);
    changed = false;
    EXPECT_FALSE(vela::reassignIndependentPoints(set, changed, flags, 0.5, 0.05));
}

TEST(ReassignIndependentPoints, any_thread_count_moves_the_same_points_in_the_same_order)
{
    // Twelve RPS in a row, points strewn over and between them on a grid, so
    // that boxes overlap and plane distances tie.
    std::vector<vela::Supervoxel> rps;
    for (int i = 0; i < 12; ++i)
        rps.push_back(squareRps(1.5f * static_cast<float>(i), 2, 0.1f * static_cast<float>(i % 3), 1000u * i));
    std::vector<vela::WorkPoint> strewn;
    std::mt19937 gen(3);
    std::uniform_int_distribution<int> grid(0, 400);
    for (std::uint32_t k = 0; k < 6000; ++k)
        strewn.push_back(at(0.05f * static_cast<float>(grid(gen)), 0.01f * static_cast<float>(grid(gen) % 250),
                            0.002f * static_cast<float>(grid(gen) % 150), 100000 + k));
    struct Outcome {
        std::vector<std::vector<std::uint32_t>> clouds;
        std::vector<std::uint8_t> flags;
    };
    const std::vector<Outcome> outcomes = testsupport::onEachThreadCount([&] {
        vela::SupervoxelSet set = setWith(rps, strewn);
        for (vela::Supervoxel& r : set.supervoxels) r.cloud.reset(new pcl::PointCloud<vela::WorkPoint>(*r.cloud));  // clouds of its own
        Outcome o;
        o.flags.assign(rps.size(), 1);
        bool changed = false;
        EXPECT_TRUE(vela::reassignIndependentPoints(set, changed, o.flags, 0.4, 0.05));
        EXPECT_TRUE(changed);
        for (const vela::Supervoxel& r : set.supervoxels) o.clouds.push_back(indicesOf(r.cloud));
        o.clouds.push_back(indicesOf(set.independent[0].cloud));
        return o;
    });
    EXPECT_GT(outcomes[0].clouds.back().size(), 100u);
    EXPECT_LT(outcomes[0].clouds.back().size(), strewn.size() - 100);
    for (std::size_t t = 1; t < outcomes.size(); ++t) {
        EXPECT_EQ(outcomes[t].clouds, outcomes[0].clouds) << testsupport::kThreadCounts[t] << " threads";
        EXPECT_EQ(outcomes[t].flags, outcomes[0].flags);
    }
}

namespace literal {

// One reassignment iteration as described: every independent point consults
// its nearest flagged centres.
bool reassignIndependentPoints(vela::SupervoxelSet& set, bool& changed, std::vector<std::uint8_t>& flags,
                               double gamma, double delta)
{
    pcl::PointCloud<vela::WorkPoint>::Ptr centres(new pcl::PointCloud<vela::WorkPoint>);
    std::vector<int> rpsOf;
    for (std::size_t i = 0; i < flags.size(); ++i)
        if (flags[i]) {
            centres->push_back(set.supervoxels[i].descriptor.centre);
            rpsOf.push_back(static_cast<int>(i));
        }
    if (rpsOf.empty()) return false;
    std::fill(flags.begin(), flags.end(), 0);
    pcl::KdTreeFLANN<vela::WorkPoint> tree;
    tree.setInputCloud(centres);
    const int k = static_cast<int>(std::ceil(1.0 / gamma) + 2.0);
    pcl::PointCloud<vela::WorkPoint>& independent = *set.independent[0].cloud;
    std::vector<int> removed, found;
    std::vector<float> d2;
    for (std::size_t j = 0; j < independent.points.size(); ++j) {
        const vela::WorkPoint& p = independent.points[j];
        if (tree.nearestKSearch(p, k, found, d2) <= 0) continue;
        double best = 99999.0;
        int bestRps = 0;
        for (int n : found) {
            const int r = rpsOf[n];
            const vela::PlaneDescriptor& d = set.supervoxels[r].descriptor;
            if (!(double(d.boxMin.x - p.x) < gamma && double(p.x - d.boxMax.x) < gamma &&
                  double(d.boxMin.y - p.y) < gamma && double(p.y - d.boxMax.y) < gamma &&
                  double(d.boxMin.z - p.z) < gamma && double(p.z - d.boxMax.z) < gamma))
                continue;
            const double distance =
                std::fabs(double(p.x * d.normal.a + p.y * d.normal.b + p.z * d.normal.c) + d.d);
            if (distance < best) {
                best = distance;
                bestRps = r;
            }
        }
        if (delta >= best) {
            changed = true;
            flags[bestRps] = 1;
            removed.push_back(static_cast<int>(j));
            set.supervoxels[bestRps].cloud->points.push_back(p);
        }
    }
    for (auto it = removed.rbegin(); it != removed.rend(); ++it) independent.points.erase(independent.points.begin() + *it);
    return true;
}

}  // namespace literal

TEST(ReassignIndependentPoints, searching_only_points_inside_a_box_matches_searching_all)
{
    std::mt19937 random(29);
    std::uniform_real_distribution<float> coordinate(0.0f, 12.0f), noise(-0.1f, 0.1f);
    for (int trial = 0; trial < 24; ++trial) {
        // Many RPS on two planes, overlapping or apart, among points near
        // those planes and scattered ones; a few iterations, so that later
        // ones search only the RPS that gained points.
        std::vector<vela::Supervoxel> rps;
        std::uint32_t index = 100000;
        for (int r = 0; r < 30; ++r) {
            const float x0 = coordinate(random), size = 0.5f + 0.1f * static_cast<float>(r % 7);
            rps.push_back(squareRps(x0, size, r % 3 == 0 ? 0.05f : 0.0f, index));
            index += 1000;
        }
        std::vector<vela::WorkPoint> loose;
        for (std::uint32_t i = 0; i < 3000; ++i) {
            const float x = coordinate(random), y = coordinate(random) * 0.3f;
            loose.push_back(at(x, y, i % 4 == 3 ? coordinate(random) : noise(random), i));
        }
        vela::SupervoxelSet fast = setWith(rps, loose), plain = setWith(rps, loose);
        // Separate clouds for the two sets: the RPS gain points.
        for (vela::Supervoxel& s : plain.supervoxels) s.cloud.reset(new pcl::PointCloud<vela::WorkPoint>(*s.cloud));
        const double gamma = trial % 6 == 5 ? 100.0 : 0.05 + 0.1 * (trial % 5);
        const double delta = trial % 8 == 7 ? 1e6 : 0.02 + 0.02 * (trial % 3);
        std::vector<std::uint8_t> fastFlags(rps.size(), 1), plainFlags(rps.size(), 1);
        for (int iteration = 0; iteration < 4; ++iteration) {
            bool fastChanged = false, plainChanged = false;
            const bool fastRan = vela::reassignIndependentPoints(fast, fastChanged, fastFlags, gamma, delta);
            ASSERT_EQ(fastRan, literal::reassignIndependentPoints(plain, plainChanged, plainFlags, gamma, delta));
            ASSERT_EQ(fastChanged, plainChanged);
            ASSERT_EQ(fastFlags, plainFlags) << trial << " " << iteration;
            ASSERT_EQ(indicesOf(fast.independent[0].cloud), indicesOf(plain.independent[0].cloud));
            for (std::size_t r = 0; r < rps.size(); ++r)
                ASSERT_EQ(indicesOf(fast.supervoxels[r].cloud), indicesOf(plain.supervoxels[r].cloud));
            if (!fastRan) break;
            for (std::size_t r = 0; r < rps.size(); ++r)
                if (fastFlags[r]) {
                    vela::refitSupervoxel(fast.supervoxels[r], false);
                    vela::refitSupervoxel(plain.supervoxels[r], false);
                }
        }
    }
}

TEST(OptimizeRps, no_rps_reports_error_and_changes_nothing)
{
    vela::SupervoxelSet set = setWith({}, {at(0, 0, 0, 0), at(1, 0, 0, 1)});
    testing::internal::CaptureStdout();
    EXPECT_FALSE(vela::optimizeRps(set, testsupport::defaultParameters(), 2, 0));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error...\n");
    EXPECT_EQ(set.independent[0].cloud->points.size(), 2u);
}

TEST(ContinueResegmentation, share_limit_iteration_limit_and_iteration_type)
{
    const double tau = 0.1;
    double tolerance = tau;
    EXPECT_TRUE(vela::continueResegmentation(0.05, 0, true, 0, tau, tolerance));  // exactly 5 % goes on
    EXPECT_EQ(tolerance, 0.2);
    EXPECT_TRUE(vela::continueResegmentation(0.5, 9, true, 0, tau, tolerance));
    EXPECT_EQ(tolerance, 0.2);                                                      // never compounds
    EXPECT_FALSE(vela::continueResegmentation(0.5, 10, true, 0, tau, tolerance));  // the eleventh is the last
    EXPECT_FALSE(vela::continueResegmentation(0.5, 3, false, 0, tau, tolerance));
    EXPECT_FALSE(vela::continueResegmentation(0.04, 3, true, 0, tau, tolerance));

    tolerance = tau;  // iter 1: goes on while RPS appear, below 5 % at tau
    EXPECT_TRUE(vela::continueResegmentation(0.01, 0, true, 1, tau, tolerance));
    EXPECT_EQ(tolerance, tau);
    EXPECT_TRUE(vela::continueResegmentation(0.5, 25, true, 1, tau, tolerance));
    EXPECT_FALSE(vela::continueResegmentation(0.5, 25, false, 1, tau, tolerance));
}

namespace literal {

// Growing one RPS exactly as described: its own search index over the points
// as they stand, accepted points appended in decreasing index and erased one
// by one.
void growRpsIntoPoints(vela::Supervoxel& rps, vela::Supervoxel& points, double gamma, double delta)
{
    pcl::PointCloud<vela::WorkPoint>& cloud = *points.cloud;
    if (cloud.points.empty()) return;
    std::vector<std::uint8_t> visited(cloud.points.size(), 0);
    std::vector<int> candidates, accepted, found;
    std::vector<float> d2;
    pcl::KdTreeFLANN<vela::WorkPoint> tree;
    tree.setInputCloud(points.cloud);
    auto add = [&](const vela::WorkPoint& q, double radius) {
        tree.radiusSearch(q, radius, found, d2);
        for (int i : found)
            if (!visited[i]) {
                visited[i] = 1;
                candidates.push_back(i);
            }
    };
    for (const vela::WorkPoint& q : rps.cloud->points) add(q, static_cast<float>(gamma));
    for (std::size_t c = 0; c < candidates.size(); ++c) {
        const vela::WorkPoint& p = cloud.points[candidates[c]];
        const vela::NormalF& n = rps.descriptor.normal;
        const double distance = std::fabs(double(p.x * n.a + p.y * n.b + p.z * n.c) + rps.descriptor.d);
        if (delta >= distance) {
            accepted.push_back(candidates[c]);
            add(p, gamma);
        }
    }
    std::sort(accepted.rbegin(), accepted.rend());
    for (int i : accepted) {
        rps.cloud->points.push_back(cloud.points[i]);
        cloud.points.erase(cloud.points.begin() + i);
    }
}

}  // namespace literal

TEST(GrowRpsIntoPoints, one_index_for_all_rps_matches_growing_them_one_by_one)
{
    std::mt19937 random(11);
    std::uniform_real_distribution<float> coordinate(0.0f, 8.0f), noise(-0.08f, 0.08f);
    for (int trial = 0; trial < 20; ++trial) {
        // Points near the planes z = 0 and x = 4 plus scattered ones; RPS are
        // patches of those planes, some of them overlapping.
        std::vector<vela::WorkPoint> loose;
        std::uint32_t index = 0;
        for (int i = 0; i < 1500; ++i) loose.push_back(at(coordinate(random), coordinate(random), noise(random), index++));
        for (int i = 0; i < 1500; ++i) loose.push_back(at(4 + noise(random), coordinate(random), coordinate(random), index++));
        for (int i = 0; i < 300; ++i) loose.push_back(at(coordinate(random), coordinate(random), coordinate(random), index++));

        vela::SupervoxelSet fresh = setWith({squareRps(0.5f, 1.0f, 0.0f, 100000), squareRps(5.0f, 2.0f, 0.0f, 200000),
                                             squareRps(1.0f, 1.5f, 0.02f, 300000)},
                                            loose);
        vela::SupervoxelSet expected = setWith({squareRps(0.5f, 1.0f, 0.0f, 100000), squareRps(5.0f, 2.0f, 0.0f, 200000),
                                                squareRps(1.0f, 1.5f, 0.02f, 300000)},
                                               loose);
        const double gamma = 0.1 + 0.05 * (trial % 5);
        const double delta = 0.03 + 0.01 * (trial % 4);
        vela::growAllRpsIntoPoints(fresh, gamma, delta);
        for (int i = 0; i < expected.planarCount; ++i)
            literal::growRpsIntoPoints(expected.supervoxels[i], expected.independent[0], gamma, delta);

        for (int i = 0; i < expected.planarCount; ++i)
            ASSERT_EQ(indicesOf(fresh.supervoxels[i].cloud), indicesOf(expected.supervoxels[i].cloud)) << trial << " " << i;
        ASSERT_EQ(indicesOf(fresh.independent[0].cloud), indicesOf(expected.independent[0].cloud)) << trial;
        EXPECT_GT(fresh.supervoxels[0].cloud->points.size(), 25u);  // it did grow
    }
}

TEST(GrowRpsIntoPoints, empty_points_record_changes_nothing)
{
    vela::SupervoxelSet set = setWith({squareRps(0, 1, 0, 0)}, {});
    const std::size_t before = set.supervoxels[0].cloud->points.size();
    EXPECT_FALSE(vela::growRpsIntoPoints(set.supervoxels[0], set.independent[0], 0.5, 0.05));
    EXPECT_EQ(set.supervoxels[0].cloud->points.size(), before);
}
