#include "planar/orsa_planar.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "planar/detail/hypothesis_search.h"
#include "planar/detail/orsa_planar_detail.h"
#include "supervoxel/thread_pool.h"

namespace vela {

namespace {

// Three points are taken as collinear when the differences p1 - p0 and
// p2 - p0 have the same ratio on all three axes. Exact comparison, in single
// precision as the points are stored; a 0/0 ratio compares unequal, so
// collinear points with a zero difference on one axis get through here.
bool collinearByRatio(const WorkPoint& p0, const WorkPoint& p1, const WorkPoint& p2)
{
    const float qx = (p1.x - p0.x) / (p2.x - p0.x);
    const float qy = (p1.y - p0.y) / (p2.y - p0.y);
    const float qz = (p1.z - p0.z) / (p2.z - p0.z);
    return qx == qy && qz == qy;
}

bool sampleIsDegenerate(const WorkCloud& cloud, const std::vector<int>& sample)
{
    return sample.size() == 3 &&
           collinearByRatio(cloud->points[sample[0]], cloud->points[sample[1]], cloud->points[sample[2]]);
}

WorkCloud cloudOfPositions(const WorkCloud& source, const std::vector<int>& positions, std::size_t begin,
                           std::size_t end)
{
    WorkCloud cloud = makeWorkCloud();
    cloud->points.reserve(end - begin);
    for (std::size_t p = begin; p < end; ++p) cloud->points.push_back(source->points[positions[p]]);
    setRowShape(*cloud);
    return cloud;
}

}  // namespace

SampleSource makeSampleSource()
{
    return SampleSource(boost::random::mt19937(12345u), boost::uniform_int<int>(0, 2147483647));
}

bool drawPlaneSample(const WorkCloud& cloud, std::vector<int>& shuffle, int attempts, int sampleSize,
                     std::vector<int>& sample, SampleSource& source)
{
    const int m = static_cast<int>(shuffle.size());
    if (m < sampleSize) {
        sample.clear();
        return false;
    }
    for (int attempt = 0; attempt < attempts; ++attempt) {
        // A partial Fisher-Yates shuffle on a list that is never reset, so
        // every attempt starts from the previous attempt's order.
        for (int i = 0; i < sampleSize; ++i) {
            const int j = i + source() % (m - i);
            std::swap(shuffle[i], shuffle[j]);
        }
        sample.assign(shuffle.begin(), shuffle.begin() + sampleSize);
        if (!sampleIsDegenerate(cloud, sample)) return true;
    }
    sample.clear();
    return true;
}

bool planeFromSample(const WorkCloud& cloud, const std::vector<int>& sample, std::vector<float>& plane)
{
    if (sample.size() != 3 || sampleIsDegenerate(cloud, sample)) return false;
    const WorkPoint& p0 = cloud->points[sample[0]];
    const WorkPoint& p1 = cloud->points[sample[1]];
    const WorkPoint& p2 = cloud->points[sample[2]];
    const float ux = p1.x - p0.x, uy = p1.y - p0.y, uz = p1.z - p0.z;
    const float vx = p2.x - p0.x, vy = p2.y - p0.y, vz = p2.z - p0.z;
    float a = uy * vz - uz * vy;
    float b = uz * vx - ux * vz;
    float c = ux * vy - uy * vx;
    const float s = a * a + b * b + c * c;
    // Collinear points that slipped through the ratio test span no plane; a
    // zero normal would put every point at distance 0 and win every cut.
    if (!(s > 0.0f)) return false;
    const float length = std::sqrt(s);
    a /= length;
    b /= length;
    c /= length;
    const float d = -((a * p0.x + c * p0.z) + b * p0.y);
    plane.assign({a, b, c, d});
    return true;
}

bool planeDistances(const WorkCloud& cloud, const std::vector<float>& plane, const std::vector<int>& indices,
                    std::vector<double>& distances)
{
    if (plane.size() != 4) return false;
    const float a = plane[0], b = plane[1], c = plane[2], d = plane[3];
    distances.clear();
    for (int index : indices) {
        const WorkPoint& p = cloud->points[index];
        const float signedDistance = (a * p.x + c * p.z) + (b * p.y + d);
        distances.push_back(std::fabs(static_cast<double>(signedDistance)));
    }
    return true;
}

PointCoordinates coordinatesOf(const WorkCloud& cloud)
{
    PointCoordinates coordinates;
    fillCoordinates(cloud, coordinates);
    return coordinates;
}

void fillCoordinates(const WorkCloud& cloud, PointCoordinates& coordinates)
{
    const std::size_t n = cloud->points.size();
    coordinates.x.resize(n);
    coordinates.y.resize(n);
    coordinates.z.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        coordinates.x[i] = cloud->points[i].x;
        coordinates.y[i] = cloud->points[i].y;
        coordinates.z[i] = cloud->points[i].z;
    }
}

bool planeDistanceBits(const PointCoordinates& points, const std::vector<float>& plane,
                       std::vector<std::uint32_t>& bits)
{
    if (plane.size() != 4) return false;
    const float a = plane[0], b = plane[1], c = plane[2], d = plane[3];
    const std::size_t n = points.x.size();
    bits.resize(n);
    const float* x = points.x.data();
    const float* y = points.y.data();
    const float* z = points.z.data();
    std::uint32_t* out = bits.data();
    std::uint32_t notANumber = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const float signedDistance = (a * x[i] + c * z[i]) + (b * y[i] + d);
        std::uint32_t magnitude;
        std::memcpy(&magnitude, &signedDistance, sizeof magnitude);
        magnitude &= 0x7fffffffu;
        out[i] = magnitude;
        // Above the bits of infinity lie the not-a-numbers.
        notANumber |= magnitude > 0x7f800000u;
    }
    return notANumber == 0;
}

int nextIterationLimit(int count, int pointCount, int iteration, int limit)
{
    double w = static_cast<double>(count) / pointCount;
    w = std::min(std::max(w, 2e-15), 1.0 - 2e-15);
    // Hypotheses needed to draw an all-inlier sample with 99.99 % confidence.
    const double n = std::log(0.0001) / std::log(1.0 - std::pow(w, 3.0) - 1e-15);
    // Compared before narrowing: for tiny ratios n exceeds the int range.
    if (!(n < kMaxIterations)) return limit;
    const int needed = static_cast<int>(n);
    if (needed <= 10) return std::min(iteration + 10, kMaxIterations);
    return std::min(iteration + needed, kMaxIterations);
}

bool ORSA_Planar(Supervoxel& supervoxel, WorkCloud& outliers, bool& changed, int kappa, double tau,
                 double epsilon)
{
    return ORSA_Planar(supervoxel, outliers, changed, kappa, tau, epsilon, nullptr);
}

bool ORSA_Planar(Supervoxel& supervoxel, WorkCloud& outliers, bool& changed, int kappa, double tau,
                 double epsilon, ResidualSorter sorter)
{
    const WorkCloud cloud = supervoxel.cloud;
    if (!cloud || cloud->points.size() < kSampleSize) return false;
    BestCut best;
    const int batch = sorter ? 0 : hypothesesPerBatch(static_cast<int>(cloud->points.size()), poolThreads());
    if (!searchBestCut(cloud, tau, epsilon, sorter, batch, best)) return false;

    const std::size_t inliers = static_cast<std::size_t>(std::max(best.result.count, 0));
    // A cut whose largest residual is exactly tau is not meaningful: strict.
    const bool meaningful =
        best.result.count >= kappa && best.result.logNfa <= epsilon && best.result.logResidual < 0.0;
    if (!meaningful) {
        changed = true;
        outliers = makeWorkCloud();
        outliers->points = cloud->points;
        setRowShape(*outliers);
        // In place: every record sharing this cloud sees it emptied.
        cloud->clear();
        return true;
    }
    if (inliers >= best.list.size()) return true;

    changed = true;
    WorkCloud kept = cloudOfPositions(cloud, best.list, 0, inliers);
    outliers = cloudOfPositions(cloud, best.list, inliers, best.list.size());
    supervoxel.cloud = kept;
    return true;
}

}  // namespace vela
