#include <cmath>
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "supervoxel/cl/flann_tree.h"
#include "supervoxel/nearest_other.h"
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

// Bit for bit, on every thread count.
void expectAsLiteral(const Points& points, const char* what)
{
    const std::vector<float> want = literalNearest(points);
    const auto runs = testsupport::onEachThreadCount([&] { return vela::nearestOtherSquaredDistances(points); });
    for (std::size_t t = 0; t < runs.size(); ++t) {
        ASSERT_EQ(runs[t].size(), want.size()) << what;
        std::size_t differing = 0, first = 0;
        for (std::size_t i = 0; i < want.size(); ++i)
            if (std::memcmp(&runs[t][i], &want[i], sizeof(float)) != 0 && differing++ == 0) first = i;
        EXPECT_EQ(differing, 0u) << what << ", " << testsupport::kThreadCounts[t] << " threads, first at point "
                                 << first << ": " << runs[t][first] << " instead of " << want[first];
    }
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
