// The ORSA plane test: random three-point plane hypotheses scored by their
// number of false alarms instead of an inlier count (Moisan & Stival 2004),
// with the number of hypotheses adapted to the best inlier ratio found.
#pragma once

#include <vector>

#include <boost/random/mersenne_twister.hpp>
#include <boost/random/uniform_int.hpp>
#include <boost/random/variate_generator.hpp>

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

// Tests whether the supervoxel is a meaningful plane. Not meaningful: all
// points go to `outliers` and the supervoxel's cloud is emptied in place.
// Meaningful but partly: the supervoxel keeps a new cloud of its inliers and
// the rest go to `outliers`. `changed` tells whether either happened. False,
// with nothing touched, when the cloud is too small to test.
bool ORSA_Planar(Supervoxel& supervoxel, WorkCloud& outliers, bool& changed, int kappa, double tau,
                 double epsilon);

}  // namespace vela
