// Area of a planar point set's convex hull (Andrew's monotone chain).
#pragma once

#include <vector>

namespace velaseg {

struct Point2 {
    double x = 0.0;
    double y = 0.0;
};

// 0 for fewer than three points or points on one line.
double convexHullArea(std::vector<Point2> points);

}  // namespace velaseg
