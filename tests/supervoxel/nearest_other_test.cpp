#include <cmath>
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "supervoxel/cl/flann_tree.h"
#include "supervoxel/nearest_other.h"
#include "supervoxel/nearest_other_grid.h"
#include "support/thread_counts.h"

namespace {

using Points = std::vector<cl::Point3D<float>>;

// The literal method: FLANN's exact tree, two neighbours per point, the
// second being the nearest other point.
std::vector<float> literalNearest(const Points& points)
{
    pcl::PointCloud<pcl::PointXYZ> cloud;
    for (const auto& p : points) cloud.push_back(pcl::PointXYZ(p.x, p.y, p.z));
    std::vector<float> nearest(points.size(), -1.0f);
    if (points.empty()) return nearest;
    const vela::FlannTree tree(cloud);
    std::vector<int> indices;
    std::vector<float> squared;
    for (std::size_t i = 0; i < points.size(); ++i) {
        float query[3];
        vela::toQuery(cloud.points[i], query);
        if (tree.nearestK(query, 2, indices, squared) == 2) nearest[i] = squared[1];
    }
    return nearest;
}

// Bit for bit, on every thread count. Returns how many points the grid left
// to the exact search.
std::size_t expectAsLiteral(const Points& points, const char* what)
{
    const std::vector<float> want = literalNearest(points);
    std::size_t exactSearches = 0;
    const auto runs = testsupport::onEachThreadCount([&] { return vela::nearestOtherSquaredDistances(points, &exactSearches); });
    for (std::size_t t = 0; t < runs.size(); ++t) {
        if (runs[t].size() != want.size()) {
            ADD_FAILURE() << what << ": " << runs[t].size() << " distances for " << want.size() << " points";
            continue;
        }
        std::size_t differing = 0, first = 0;
        for (std::size_t i = 0; i < want.size(); ++i)
            if (std::memcmp(&runs[t][i], &want[i], sizeof(float)) != 0 && differing++ == 0) first = i;
        EXPECT_EQ(differing, 0u) << what << ", " << testsupport::kThreadCounts[t] << " threads, first at point "
                                 << first << ": " << runs[t][first] << " instead of " << want[first];
    }
    return exactSearches;
}

// The grid alone with cells of a given size: every point it settles as the
// literal search has it, the same points settled on every thread count.
// Returns how many it left unsettled.
std::size_t expectGridAsLiteral(const Points& points, double cellSize, const char* what)
{
    const std::vector<float> want = literalNearest(points);
    const auto runs = testsupport::onEachThreadCount([&] {
        std::vector<float> nearest(points.size());
        vela::detail::nearestOtherInGrid(points, nearest, cellSize);
        return nearest;
    });
    std::size_t unsettled = 0, differing = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        unsettled += std::isnan(runs[0][i]);
        for (std::size_t t = 0; t < runs.size(); ++t) {
            const bool same = std::isnan(runs[t][i]) ? std::isnan(runs[0][i])
                                                     : std::memcmp(&runs[t][i], &want[i], sizeof(float)) == 0;
            if (!same && differing++ == 0)
                ADD_FAILURE() << what << ", cells of " << cellSize << ", " << testsupport::kThreadCounts[t]
                              << " threads, point " << i << ": " << runs[t][i] << " instead of " << want[i];
        }
    }
    EXPECT_EQ(differing, 0u) << what << ", cells of " << cellSize;
    return unsettled;
}

// Random points on a plane tilted against every axis.
Points slantedSheet(std::mt19937& random, int n, float half)
{
    std::uniform_real_distribution<float> u(-half, half);
    Points points;
    for (int i = 0; i < n; ++i) {
        const float t = u(random), s = u(random);
        points.emplace_back(t, s, 0.4f * t - 0.3f * s);
    }
    return points;
}

Points uniform(std::mt19937& random, int n, float low, float high)
{
    std::uniform_real_distribution<float> u(low, high);
    Points points;
    for (int i = 0; i < n; ++i) points.emplace_back(u(random), u(random), u(random));
    return points;
}

}  // namespace

TEST(NearestOther, random_clouds_of_many_sizes_match_the_library_search)
{
    std::mt19937 random(11);
    for (int n : {3, 9, 10, 17, 100, 1000, 20000})
        expectAsLiteral(uniform(random, n, -5.0f, 5.0f), "uniform");
}

TEST(NearestOther, duplicates_are_at_distance_zero)
{
    std::mt19937 random(12);
    Points points = uniform(random, 3000, 0.0f, 2.0f);
    for (int i = 0; i < 1500; ++i) points.push_back(points[static_cast<std::size_t>(7 * i % 3000)]);
    expectAsLiteral(points, "duplicates");
    // A cloud of one point repeated: every leaf full of ties.
    expectAsLiteral(Points(500, cl::Point3D<float>(1.5f, -2.0f, 3.0f)), "one point repeated");
}

TEST(NearestOther, lattices_with_many_equal_distances)
{
    std::mt19937 random(13);
    std::uniform_int_distribution<int> g(-8, 8);
    Points points;
    for (int i = 0; i < 6000; ++i) points.emplace_back(0.1f * g(random), 0.3f * g(random), 0.05f * g(random));
    expectAsLiteral(points, "random lattice");
    Points full;
    for (int x = 0; x < 20; ++x)
        for (int y = 0; y < 20; ++y)
            for (int z = 0; z < 5; ++z) full.emplace_back(0.7f * x, 0.7f * y, 0.35f * z);
    expectAsLiteral(full, "full lattice");
}

TEST(NearestOther, clusters_finer_than_float_spacing_far_from_the_origin)
{
    // Neighbouring floats near 3000 are 2^-12 apart: distances round coarsely
    // and many differ by one unit in the last place.
    std::mt19937 random(14);
    std::uniform_int_distribution<int> steps(0, 40);
    Points points;
    for (int i = 0; i < 4000; ++i) {
        const float base = 3000.0f + static_cast<float>(i % 5) * 50.0f;
        auto nudge = [&](float v) {
            for (int s = steps(random); s > 0; --s) v = std::nextafter(v, 1e9f);
            return v;
        };
        points.emplace_back(nudge(base), nudge(-base), nudge(base / 3.0f));
    }
    expectAsLiteral(points, "float-spaced clusters");
}

TEST(NearestOther, collinear_and_planar_sets)
{
    std::mt19937 random(15);
    std::uniform_real_distribution<float> u(-10.0f, 10.0f);
    Points line, plane, slanted;
    for (int i = 0; i < 3000; ++i) {
        const float t = u(random), s = u(random);
        line.emplace_back(t, 2.0f * t, -t);
        plane.emplace_back(t, s, 4.0f);
        slanted.emplace_back(t, s, 0.3f * t - 0.7f * s);
    }
    expectAsLiteral(line, "line");
    expectAsLiteral(plane, "horizontal plane");
    expectAsLiteral(slanted, "slanted plane");
}

TEST(NearestOther, uneven_cloud_of_dense_clusters_and_lone_far_points)
{
    std::mt19937 random(16);
    Points points = uniform(random, 5000, 0.0f, 0.01f);
    const Points far = uniform(random, 40, -1e6f, 1e6f);
    points.insert(points.end(), far.begin(), far.end());
    const Points second = uniform(random, 3000, 500.0f, 500.001f);
    points.insert(points.end(), second.begin(), second.end());
    expectAsLiteral(points, "uneven");
}

TEST(NearestOther, huge_coordinates_stay_finite)
{
    // The largest frame coordinates: squares near 2^124, sums of three finite.
    std::mt19937 random(17);
    expectAsLiteral(uniform(random, 2000, -4.6e18f, 4.6e18f), "huge");
}

TEST(NearestOther, one_and_two_points)
{
    EXPECT_EQ(vela::nearestOtherSquaredDistances({}), std::vector<float>{});
    EXPECT_EQ(vela::nearestOtherSquaredDistances({{1, 2, 3}}), std::vector<float>{-1.0f});
    EXPECT_EQ(vela::nearestOtherSquaredDistances({{0, 0, 0}, {1, 2, 2}}), (std::vector<float>{9.0f, 9.0f}));
    expectAsLiteral({{0.1f, 0.2f, 0.3f}, {0.4f, -0.5f, 0.6f}}, "two points");
}

TEST(NearestOther, a_surface_is_settled_by_the_grid)
{
    // Otherwise the cases above would test the tree alone.
    std::mt19937 random(18);
    const Points sheet = slantedSheet(random, 20000, 10.0f);
    EXPECT_LT(expectAsLiteral(sheet, "sheet"), sheet.size() / 100);
}

TEST(NearestOther, clouds_the_grid_leaves_to_the_tree)
{
    std::mt19937 random(19);
    const Points sheet = slantedSheet(random, 4000, 5.0f);

    // Few points left: each compared with all.
    Points isolated = sheet;
    isolated.emplace_back(400.0f, -300.0f, 250.0f);
    isolated.emplace_back(-400.0f, 300.0f, -250.0f);
    EXPECT_GT(expectAsLiteral(isolated, "isolated far points"), 0u);

    // Many left: the tree. Thousands of points in one cell of a cloud of a
    // few hundred spread out: blocks around it are too long to scan.
    Points dense = uniform(random, 400, -5.0f, 5.0f);
    const Points clump = uniform(random, 3000, 1.0f, 1.0001f);
    dense.insert(dense.end(), clump.begin(), clump.end());
    EXPECT_GT(expectAsLiteral(dense, "one extremely dense cell"), 0u);

    Points stacked = sheet;
    stacked.insert(stacked.end(), 900, sheet[17]);
    EXPECT_GT(expectAsLiteral(stacked, "duplicates stacked in one cell"), 0u);

    // The box is mostly empty: a size from the box alone puts each cluster
    // in a cell or two.
    Points apart = uniform(random, 2000, 0.0f, 1.0f);
    const Points far = uniform(random, 2000, 90000.0f, 90001.0f);
    apart.insert(apart.end(), far.begin(), far.end());
    expectAsLiteral(apart, "two far clusters");
}

TEST(NearestOtherGrid, points_on_cell_edges_and_at_the_acceptance_bound)
{
    // Coordinates on multiples of 0.25 from an origin at 0: with cells of a
    // multiple of 0.25 many points lie exactly on edges, and many nearest
    // distances equal the bound a block accepts, (0.25 k)^2.
    std::mt19937 random(20);
    std::uniform_int_distribution<int> g(0, 16);
    std::size_t unsettled = 0;
    for (int n : {150, 500, 1500}) {
        Points points{{0.0f, 0.0f, 0.0f}};
        for (int i = 0; i < n; ++i) points.emplace_back(0.25f * g(random), 0.25f * g(random), 0.25f * g(random));
        for (double size : {0.25, 0.5, 0.75, 1.0}) {
            const std::size_t left = expectGridAsLiteral(points, size, "lattice");
            EXPECT_LT(left, points.size()) << size;
            unsettled += left;
        }
    }
    EXPECT_GT(unsettled, 0u);
}

TEST(NearestOtherGrid, cells_far_finer_or_coarser_than_the_spacing)
{
    std::mt19937 random(21);
    const Points sheet = slantedSheet(random, 3000, 2.0f);
    // The finest cells number beyond 2^32: keys no longer share a word with indices.
    for (double size : {1e-4, 0.01, 0.1, 3.0, 100.0}) expectGridAsLiteral(sheet, size, "sheet");
    // Cells finer than the floats near the points.
    Points far = uniform(random, 2000, 3000.0f, 3000.05f);
    expectGridAsLiteral(far, 1e-7, "finer than float spacing");
}

TEST(NearestOtherGrid, a_block_best_one_unit_above_the_bound_is_not_accepted)
{
    // Unit cells from the origin. q lies in x-cell 2, so its block spans x
    // from 1; p, just below 1, is outside at a float distance of exactly
    // 1.5^2 (2.5 - p rounds to 1.5), the block's bound. r, inside the block,
    // is one unit in the last place further.
    const cl::Point3D<float> q(2.5f, 0.5f, 0.5f), p(std::nextafter(1.0f, 0.0f), 0.5f, 0.5f);
    const float target = std::nextafter(2.25f, 3.0f);
    cl::Point3D<float> r(1.3f, 1.3f, 0.5f);
    auto distance = [&](const cl::Point3D<float>& a) {
        const float qa[3] = {q.x, q.y, q.z}, aa[3] = {a.x, a.y, a.z};
        return vela::detail::flannSquaredDistance(qa, aa);
    };
    ASSERT_EQ(distance(p), 2.25f);
    while (distance(r) < target && r.y < 2.0f) r.y = std::nextafter(r.y, 2.0f);
    ASSERT_EQ(distance(r), target);
    const Points points{{0.0f, 0.0f, 0.0f}, q, p, r};
    std::vector<float> nearest(points.size());
    vela::detail::nearestOtherInGrid(points, nearest, 1.0);
    EXPECT_TRUE(std::isnan(nearest[1])) << nearest[1];
    expectGridAsLiteral(points, 1.0, "one unit above the bound");
}

TEST(NearestOtherGrid, points_a_few_cells_off_a_surface_are_settled_by_wider_cubes)
{
    std::mt19937 random(22);
    Points points = slantedSheet(random, 3000, 2.0f);
    // Cells of 0.1 where the spacing is about 0.07: these points lie 3 to 6
    // cells from any other, beyond their block.
    for (int i = 0; i < 12; ++i) {
        const cl::Point3D<float> on = points[static_cast<std::size_t>(97 * i)];
        points.emplace_back(on.x, on.y, on.z + 0.3f + 0.025f * static_cast<float>(i));
    }
    EXPECT_EQ(expectGridAsLiteral(points, 0.1, "points above a sheet"), 0u);
    // Loose clusters of four high above it: nearest points in every
    // direction, a few cells away, often in a cube's outer layers.
    std::uniform_real_distribution<float> u(-1.5f, 1.5f), spread(0.0f, 0.6f);
    for (int c = 0; c < 40; ++c) {
        const float x = u(random), y = u(random);
        for (int k = 0; k < 4; ++k) points.emplace_back(x + spread(random), y + spread(random), 3.0f + spread(random));
    }
    expectGridAsLiteral(points, 0.1, "loose clusters");
}
