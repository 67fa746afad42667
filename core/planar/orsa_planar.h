// The ORSA plane test: random three-point plane hypotheses scored by their
// number of false alarms instead of an inlier count (Moisan & Stival 2004),
// with the number of hypotheses adapted to the best inlier ratio found.
#pragma once

#include <cstdint>
#include <vector>

#include <boost/random/mersenne_twister.hpp>
#include <boost/random/uniform_int.hpp>
#include <boost/random/variate_generator.hpp>

#include "planar/nfa.h"
#include "supervoxel/supervoxel_set.h"

namespace vela {

// Draws over [0, 2^31 - 1]: each is the engine's next 32-bit output halved.
using SampleSource = boost::variate_generator<boost::random::mt19937, boost::uniform_int<int>>;

// Seeded anew for every test, so that a cloud always meets the same samples.
SampleSource makeSampleSource();

// Shuffles three fresh points to the front of `shuffle` until they are not
// collinear by the ratio test, at most `attempts` times; `sample` is then
// left empty. False only when `shuffle` holds fewer than `sampleSize` entries.
bool drawPlaneSample(const WorkCloud& cloud, std::vector<int>& shuffle, int attempts, int sampleSize,
                     std::vector<int>& sample, SampleSource& source);

// The plane (a, b, c, d) through three points, unit normal. False for a
// sample that is not three points, fails the ratio test or spans no plane.
bool planeFromSample(const WorkCloud& cloud, const std::vector<int>& sample, std::vector<float>& plane);

// |a x + b y + c z + d| for the listed points, in list order. False when
// `plane` does not hold four coefficients.
bool planeDistances(const WorkCloud& cloud, const std::vector<float>& plane, const std::vector<int>& indices,
                    std::vector<double>& distances);

// A cloud's coordinates in separate arrays, so that distance loops vectorise.
struct PointCoordinates {
    std::vector<float> x, y, z;
};

PointCoordinates coordinatesOf(const WorkCloud& cloud);

// planeDistances for every point, by point index, as the bits of their
// single-precision magnitudes, whose widening gives the same doubles. False
// when `plane` does not hold four coefficients or a distance is not a number.
bool planeDistanceBits(const PointCoordinates& points, const std::vector<float>& plane,
                       std::vector<std::uint32_t>& bits);

// Hypothesis limit after a new best cut of `count` of `pointCount` points
// (whose NFA passed the threshold) was found at `iteration`.
int nextIterationLimit(int count, int pointCount, int iteration, int limit);

// Tests whether the supervoxel is a meaningful plane. Not meaningful: all
// points go to `outliers` and the supervoxel's cloud is emptied in place.
// Meaningful but partly: the supervoxel keeps a new cloud of its inliers and
// the rest go to `outliers`. `changed` tells whether either happened. False,
// with nothing touched, when the cloud is too small to test.
bool ORSA_Planar(Supervoxel& supervoxel, WorkCloud& outliers, bool& changed, int kappa, double tau,
                 double epsilon);

// The same test with another residual sort, to compare sorts on whole tests;
// a null sorter is the built-in one.
using ResidualSorter = bool (*)(std::vector<int>& indices, std::vector<double>& distances,
                                std::vector<double>& residuals, double tau, ResidualSortBuffers& buffers);
bool ORSA_Planar(Supervoxel& supervoxel, WorkCloud& outliers, bool& changed, int kappa, double tau,
                 double epsilon, ResidualSorter sorter);

}  // namespace vela
