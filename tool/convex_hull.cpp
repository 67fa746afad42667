#include "convex_hull.h"

#include <algorithm>
#include <cmath>

namespace velaseg {
namespace {

// Twice the signed area of o-a-b: positive when b lies left of o->a.
double turn(const Point2& o, const Point2& a, const Point2& b)
{
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

}  // namespace

double convexHullArea(std::vector<Point2> points)
{
    std::sort(points.begin(), points.end(),
              [](const Point2& a, const Point2& b) { return a.x < b.x || (a.x == b.x && a.y < b.y); });
    points.erase(std::unique(points.begin(), points.end(),
                             [](const Point2& a, const Point2& b) { return a.x == b.x && a.y == b.y; }),
                 points.end());
    const std::size_t n = points.size();
    if (n < 3) return 0.0;

    // Lower hull left to right, then upper hull right to left; collinear
    // points are dropped (turn <= 0), they add no area.
    std::vector<Point2> hull(2 * n);
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        while (k >= 2 && turn(hull[k - 2], hull[k - 1], points[i]) <= 0) --k;
        hull[k++] = points[i];
    }
    for (std::size_t i = n - 1, lower = k + 1; i-- > 0;) {
        while (k >= lower && turn(hull[k - 2], hull[k - 1], points[i]) <= 0) --k;
        hull[k++] = points[i];
    }
    hull.resize(k - 1);  // the last point repeats the first

    double twice = 0.0;
    for (std::size_t i = 0; i < hull.size(); ++i) {
        const Point2& a = hull[i];
        const Point2& b = hull[(i + 1) % hull.size()];
        twice += a.x * b.y - b.x * a.y;
    }
    return std::fabs(twice) / 2.0;
}

}  // namespace velaseg
