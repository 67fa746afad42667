#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "supervoxel/cl/kdtree.h"
#include "supervoxel/neighbour_grid.h"
#include "support/float_points.h"
#include "support/literal_kd_walk.h"
#include "support/thread_counts.h"

namespace {

using cl::KDTree;
using Point = cl::Point3D<double>;
using testsupport::asFloats;
using testsupport::literalQuery;
using testsupport::squaredDistance;

constexpr int kList = 15;

struct GridRun {
    std::vector<int> lists;
    std::vector<std::uint8_t> decided;
};

GridRun runGrid(const KDTree& tree, double cellSize)
{
    const std::size_t n = tree.size();
    GridRun run{std::vector<int>(n * kList, -2), std::vector<std::uint8_t>(n, 0)};
    const vela::detail::Cells cells = vela::detail::cellsOfTree(tree, kList, cellSize);
    vela::detail::listsFromGrid(tree, cells, kList, run.decided.data(), [&](std::size_t, std::size_t i, const int* list) {
        std::copy_n(list, kList, run.lists.begin() + static_cast<std::ptrdiff_t>(i * kList));
    });
    return run;
}

// Every list the grid decides is the literal walk's, and brute force finds
// its point's k + 1 nearest at distinct distances: the list's points are
// nearer than any other, as a separation mark promises. The same lists on
// every thread count. Returns how many points the grid decided.
std::size_t expectGridAsLiteral(const std::vector<Point>& cloud, const char* what, double cellSize = 0.0)
{
    cl::Array<Point> points;
    for (const Point& p : cloud) points.push_back(p);
    KDTree tree;
    tree.build(points);
    const auto runs = testsupport::onEachThreadCount([&] { return runGrid(tree, cellSize); });
    const std::size_t n = tree.size();
    std::size_t decided = 0, wrong = 0;
    for (std::size_t t = 1; t < runs.size(); ++t) {
        EXPECT_EQ(runs[t].decided, runs[0].decided) << what << ", " << testsupport::kThreadCounts[t] << " threads";
        EXPECT_EQ(runs[t].lists, runs[0].lists) << what << ", " << testsupport::kThreadCounts[t] << " threads";
    }
    std::vector<double> sorted(n);
    for (std::size_t i = 0; i < n && wrong < 5; ++i) {
        if (!runs[0].decided[i]) continue;
        ++decided;
        const Point q = tree.point(i);
        const std::vector<int> list(runs[0].lists.begin() + static_cast<std::ptrdiff_t>(i * kList),
                                    runs[0].lists.begin() + static_cast<std::ptrdiff_t>((i + 1) * kList));
        if (list != literalQuery(tree, q, kList)) {
            ADD_FAILURE() << what << ": point " << i << " is not given the literal walk's list";
            ++wrong;
            continue;
        }
        for (std::size_t j = 0; j < n; ++j) sorted[j] = squaredDistance(q, tree.point(j));
        std::partial_sort(sorted.begin(), sorted.begin() + kList + 1, sorted.end());
        for (int j = 1; j <= kList; ++j)
            if (!(sorted[static_cast<std::size_t>(j - 1)] < sorted[static_cast<std::size_t>(j)])) {
                ADD_FAILURE() << what << ": point " << i << " decided with a tie at place " << j;
                ++wrong;
                break;
            }
    }
    return decided;
}

// Two roof planes meeting at a ridge, scanned with a little noise.
std::vector<Point> roof(int n, unsigned seed, double x0 = 0.0, double y0 = 0.0)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(0.0, 10.0), noise(-0.01, 0.01);
    std::vector<Point> pts;
    for (int i = 0; i < n; ++i) {
        const double x = u(gen), y = u(gen);
        pts.push_back(Point(x0 + x, y0 + y, 3.0 - 0.5 * std::fabs(x - 5.0) + noise(gen)));
    }
    return asFloats(pts);
}

TEST(NeighbourGrid, a_scanned_surface_is_decided_by_the_grid_as_the_literal_walk)
{
    const std::vector<Point> cloud = roof(6000, 1);
    EXPECT_GT(expectGridAsLiteral(cloud, "roof"), cloud.size() * 8 / 10);
}

TEST(NeighbourGrid, lattices_full_of_ties_and_points_on_cell_edges)
{
    std::vector<Point> cubic, stretched;
    for (int x = 0; x < 16; ++x)
        for (int y = 0; y < 16; ++y)
            for (int z = 0; z < 4; ++z) {
                cubic.push_back(Point(x, y, z));
                stretched.push_back(Point(x, 1.25 * y, 1.5 * z + 0.125 * x));
            }
    for (double cell : {0.0, 0.5, 1.0, 2.0, 3.0}) {
        expectGridAsLiteral(cubic, "cubic lattice", cell);
        expectGridAsLiteral(stretched, "stretched lattice", cell);
    }
}

TEST(NeighbourGrid, duplicates_and_their_neighbours_are_left_to_the_tree_or_decided_as_it_would)
{
    std::vector<Point> cloud = roof(3000, 2);
    for (std::size_t i = 0; i < 3000; i += 7) cloud.push_back(cloud[i]);
    for (int i = 0; i < 40; ++i) cloud.push_back(cloud[100]);
    expectGridAsLiteral(cloud, "duplicated roof");
}

TEST(NeighbourGrid, isolated_point_dense_clusters_and_sparse_points_together)
{
    std::mt19937 gen(3);
    std::uniform_real_distribution<double> wide(0.0, 100.0), narrow(0.0, 0.01);
    std::vector<Point> cloud = roof(2000, 4);
    cloud.push_back(Point(1000.0, -1000.0, 500.0));
    for (int c = 0; c < 5; ++c) {
        const double cx = wide(gen), cy = wide(gen);
        for (int i = 0; i < 400; ++i) cloud.push_back(Point(cx + narrow(gen), cy + narrow(gen), narrow(gen)));
    }
    for (int i = 0; i < 500; ++i) cloud.push_back(Point(wide(gen), wide(gen), 20.0 + wide(gen) / 10.0));
    EXPECT_GT(expectGridAsLiteral(asFloats(cloud), "clusters and sparse points"), 2000u);
}

TEST(NeighbourGrid, map_coordinates_where_floats_are_coarse)
{
    // Floats step by 1/32 near 500000: the points fall on a coarse lattice.
    EXPECT_GT(expectGridAsLiteral(roof(4000, 5, 500000.0, 0.0), "map coordinates"), 0u);
    std::vector<Point> fine = roof(4000, 6);
    for (Point& p : fine) p = Point(500000.0 + p.x * 0.25, p.y * 0.25, p.z);
    expectGridAsLiteral(asFloats(fine), "map coordinates on a fine lattice");
}

TEST(NeighbourGrid, clouds_the_grid_cannot_serve_get_no_cells)
{
    cl::Array<Point> few;
    for (int i = 0; i < kList; ++i) few.push_back(Point(i, 0.5 * i, 0.0));
    KDTree tree;
    tree.build(few);
    EXPECT_TRUE(vela::detail::cellsOfTree(tree, kList).keys.empty()) << "fewer points than a list and its point";

    const std::vector<Point> surface = roof(500, 7);
    const Point hostile[] = {Point(std::numeric_limits<double>::infinity(), 0.0, 0.0), Point(0.1, 0.0, 0.0),
                             Point(1e300, 0.0, 0.0)};
    for (const Point& odd : hostile) {
        cl::Array<Point> points;
        for (const Point& p : surface) points.push_back(p);
        points.push_back(odd);
        KDTree oddTree;
        oddTree.build(points);
        EXPECT_TRUE(vela::detail::cellsOfTree(oddTree, kList).keys.empty()) << odd.x;
    }
}

}  // namespace
