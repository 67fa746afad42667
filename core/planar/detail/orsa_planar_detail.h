// Internals of the plane test that its tests and benchmarks reach: the
// distance computation on bits, the hypothesis limit, and a hook to run the
// whole test with another residual sort.
#pragma once

#include <cstdint>
#include <vector>

#include "planar/detail/exchange_order.h"
#include "planar/orsa_planar.h"

namespace vela {

// Points a hypothesis is drawn from.
constexpr int kSampleSize = 3;
// Draws of a sample before it is given up as collinear.
constexpr int kSampleAttempts = 1000;
// Samples spanning no plane before the search gives up.
constexpr int kMaxSkipped = 5000;
// Hypotheses a search tries at most.
constexpr int kMaxIterations = 500;

// A cloud's coordinates in separate arrays, so that distance loops vectorise.
struct PointCoordinates {
    std::vector<float> x, y, z;
};

PointCoordinates coordinatesOf(const WorkCloud& cloud);
void fillCoordinates(const WorkCloud& cloud, PointCoordinates& coordinates);

// planeDistances for every point, by point index, as the bits of their
// single-precision magnitudes, whose widening gives the same doubles. False
// when `plane` does not hold four coefficients or a distance is not a number.
bool planeDistanceBits(const PointCoordinates& points, const std::vector<float>& plane,
                       std::vector<std::uint32_t>& bits);

// Hypothesis limit after a new best cut of `count` of `pointCount` points
// (whose NFA passed the threshold) was found at `iteration`.
int nextIterationLimit(int count, int pointCount, int iteration, int limit);

// ORSA_Planar with another residual sort, to compare sorts on whole tests; a
// null sorter is the built-in one.
using ResidualSorter = bool (*)(std::vector<int>& indices, std::vector<double>& distances,
                                std::vector<double>& residuals, double tau, ResidualSortBuffers& buffers);
bool ORSA_Planar(Supervoxel& supervoxel, WorkCloud& outliers, bool& changed, int kappa, double tau,
                 double epsilon, ResidualSorter sorter);

}  // namespace vela
