#include "supervoxel/plane_fit.h"

#include <cmath>
#include <limits>
#include <utility>

#include <Eigen/Dense>
#include <pcl/common/common.h>

#include "supervoxel/cl/array.h"
#include "supervoxel/cl/geometry.h"
#include "supervoxel/clustering.h"

namespace vela {

namespace {

// Bounding box and box centre: float sum, halved in double, stored as float.
// The bounds are taken as pcl::getMinMax3D takes them, run after run, so a
// segment's box is the one of its members' points joined in one cloud.
void fitBox(const CloudRuns& runs, PlaneDescriptor& descriptor)
{
    Eigen::Vector4f low, high;
    low.setConstant(std::numeric_limits<float>::max());
    high.setConstant(std::numeric_limits<float>::lowest());
    for (const pcl::PointCloud<WorkPoint>* cloud : runs)
        for (const WorkPoint& p : cloud->points) {
            if (!cloud->is_dense && (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z))) continue;
            const pcl::Vector4fMapConst v = p.getVector4fMap();
            low = low.cwiseMin(v);
            high = high.cwiseMax(v);
        }
    descriptor.boxMin.x = low[0];
    descriptor.boxMin.y = low[1];
    descriptor.boxMin.z = low[2];
    descriptor.boxMax.x = high[0];
    descriptor.boxMax.y = high[1];
    descriptor.boxMax.z = high[2];
    descriptor.centre.x = static_cast<float>(static_cast<double>(descriptor.boxMin.x + descriptor.boxMax.x) * 0.5);
    descriptor.centre.y = static_cast<float>(static_cast<double>(descriptor.boxMin.y + descriptor.boxMax.y) * 0.5);
    descriptor.centre.z = static_cast<float>(static_cast<double>(descriptor.boxMin.z + descriptor.boxMax.z) * 0.5);
}

std::size_t pointCount(const CloudRuns& runs)
{
    std::size_t n = 0;
    for (const pcl::PointCloud<WorkPoint>* cloud : runs) n += cloud->points.size();
    return n;
}

// Centroid, and the shape features and curvature from the eigenvalues of
// the covariance.
void fitShape(const CloudRuns& runs, PlaneDescriptor& descriptor)
{
    const Eigen::Index n = static_cast<Eigen::Index>(pointCount(runs));
    Eigen::MatrixXd x(n, 3);
    Eigen::Index i = 0;
    for (const pcl::PointCloud<WorkPoint>* cloud : runs)
        for (const WorkPoint& p : cloud->points) {
            x(i, 0) = p.x;
            x(i, 1) = p.y;
            x(i, 2) = p.z;
            ++i;
        }
    const Eigen::RowVector3d centroid = x.colwise().sum() / static_cast<double>(n);
    descriptor.centre.x = static_cast<float>(centroid(0));
    descriptor.centre.y = static_cast<float>(centroid(1));
    descriptor.centre.z = static_cast<float>(centroid(2));

    // Centred in place: each entry is the same difference a copy would hold.
    x.rowwise() -= centroid;
    Eigen::MatrixXd k = x.transpose() * x;
    // One point: no division, the zero matrix stays zero.
    if (n != 1) k = k / static_cast<double>(n - 1);

    const Eigen::EigenSolver<Eigen::MatrixXd> solver(k);
    const Eigen::MatrixXd pseudo = solver.pseudoEigenvalueMatrix();
    double lambda[3] = {pseudo(0, 0), pseudo(1, 1), pseudo(2, 2)};
    for (int i = 0; i < 2; ++i)
        for (int j = i + 1; j < 3; ++j)
            if (lambda[j] > lambda[i]) std::swap(lambda[i], lambda[j]);

    // No clamping: a slightly negative smallest eigenvalue of exactly planar
    // points yields not-a-number features, which fail every threshold test.
    const double s1 = std::sqrt(lambda[0]);
    const double s2 = std::sqrt(lambda[1]);
    const double s3 = std::sqrt(lambda[2]);
    descriptor.linearity = (s1 - s2) / s1;
    descriptor.planarity = (s2 - s3) / s1;
    descriptor.scattering = s3 / s1;
    descriptor.curvature = lambda[2] / ((lambda[1] + lambda[0]) + lambda[2]);
    descriptor.curvatureF = static_cast<float>(descriptor.curvature);
}

// Normal, offset through the centroid and largest residual, in single
// precision like the stored normal.
void fitPlane(const CloudRuns& runs, PlaneDescriptor& descriptor)
{
    cl::Array<cl::Point3D<double>> points(pointCount(runs));
    std::size_t i = 0;
    for (const pcl::PointCloud<WorkPoint>* cloud : runs)
        for (const WorkPoint& p : cloud->points) points[i++] = cl::Point3D<double>(p.x, p.y, p.z);
    const cl::Vector3D<double> normal = estimateNormal(points);
    descriptor.normal.a = static_cast<float>(normal.x);
    descriptor.normal.b = static_cast<float>(normal.y);
    descriptor.normal.c = static_cast<float>(normal.z);

    const float a = descriptor.normal.a, b = descriptor.normal.b, c = descriptor.normal.c;
    const float s = (b * descriptor.centre.y + a * descriptor.centre.x) + c * descriptor.centre.z;
    descriptor.d = static_cast<double>(-s);

    descriptor.maxResidual = 0.0;
    for (const pcl::PointCloud<WorkPoint>* cloud : runs)
        for (const WorkPoint& p : cloud->points) {
            const float t = (b * p.y + a * p.x) + c * p.z;
            const double residual = std::fabs(static_cast<double>(t) + descriptor.d);
            if (residual > descriptor.maxResidual) descriptor.maxResidual = residual;
        }
}

}  // namespace

void fitPlaneDescriptor(const CloudRuns& runs, PlaneDescriptor& descriptor, bool fullFit)
{
    fitBox(runs, descriptor);
    if (!fullFit) return;
    fitShape(runs, descriptor);
    fitPlane(runs, descriptor);
}

bool fitPlaneDescriptor(const WorkCloud& cloudPtr, PlaneDescriptor& descriptor, bool fullFit)
{
    // Our own reference keeps the points alive for the call.
    const WorkCloud held = cloudPtr;
    fitPlaneDescriptor(CloudRuns{held.get()}, descriptor, fullFit);
    return true;
}

bool refitSupervoxel(Supervoxel& supervoxel, bool fullFit)
{
    return fitPlaneDescriptor(supervoxel.cloud, supervoxel.descriptor, fullFit);
}

}  // namespace vela
