#include <algorithm>
#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "convex_hull.h"

using velaseg::convexHullArea;
using velaseg::Point2;

namespace {

// The literal definition: a pair (a, b) is a hull edge when no point lies on
// its right; the area is the sum of the triangles the edges make with one
// inner point. Quadratic in the edges, cubic overall.
double bruteForceHullArea(std::vector<Point2> points)
{
    std::sort(points.begin(), points.end(), [](const Point2& a, const Point2& b) { return a.x < b.x || (a.x == b.x && a.y < b.y); });
    points.erase(std::unique(points.begin(), points.end(), [](const Point2& a, const Point2& b) { return a.x == b.x && a.y == b.y; }),
                 points.end());
    double cx = 0.0;
    double cy = 0.0;
    for (const Point2& p : points) {
        cx += p.x;
        cy += p.y;
    }
    cx /= static_cast<double>(points.size());
    cy /= static_cast<double>(points.size());
    double area = 0.0;
    for (const Point2& a : points) {
        for (const Point2& b : points) {
            if (a.x == b.x && a.y == b.y) continue;
            bool edge = true;
            for (const Point2& c : points) {
                const double turn = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
                // A collinear point outside a..b makes a longer edge.
                const bool outside = turn == 0 && (c.x - a.x) * (c.x - b.x) + (c.y - a.y) * (c.y - b.y) > 0;
                if (turn < 0 || outside) {
                    edge = false;
                    break;
                }
            }
            if (edge) area += std::fabs((a.x - cx) * (b.y - cy) - (b.x - cx) * (a.y - cy)) / 2.0;
        }
    }
    return area;
}

}  // namespace

TEST(ConvexHull, square_with_inner_and_edge_points)
{
    EXPECT_EQ(convexHullArea({{0, 0}, {2, 0}, {2, 3}, {0, 3}, {1, 1}, {1, 0}, {2, 1.5}, {0, 0}}), 6.0);
}

TEST(ConvexHull, fewer_than_three_distinct_or_collinear_points_have_no_area)
{
    EXPECT_EQ(convexHullArea({}), 0.0);
    EXPECT_EQ(convexHullArea({{1, 1}, {1, 1}, {1, 1}}), 0.0);
    EXPECT_EQ(convexHullArea({{0, 0}, {1, 1}}), 0.0);
    EXPECT_EQ(convexHullArea({{0, 0}, {1, 1}, {2, 2}, {3, 3}}), 0.0);
}

TEST(ConvexHull, matches_the_literal_definition_on_random_clouds)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<double> coordinate(-5.0, 5.0);
    std::uniform_int_distribution<int> grid(-3, 3);  // many ties and collinear runs
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<Point2> points(3 + trial % 40);
        for (Point2& p : points)
            p = trial % 2 ? Point2{coordinate(random), coordinate(random)} : Point2{double(grid(random)), double(grid(random))};
        EXPECT_NEAR(convexHullArea(points), bruteForceHullArea(points), 1e-9) << "trial " << trial;
    }
}
