#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <Eigen/Dense>
#include <gtest/gtest.h>
#include <pcl/common/common.h>

#include "supervoxel/clustering.h"
#include "supervoxel/plane_fit.h"

namespace {

using vela::PlaneDescriptor;
using vela::WorkCloud;

WorkCloud cloudOf(const std::vector<std::array<float, 3>>& xyz)
{
    WorkCloud cloud = vela::makeWorkCloud();
    for (std::size_t i = 0; i < xyz.size(); ++i) {
        vela::WorkPoint p;
        p.x = xyz[i][0];
        p.y = xyz[i][1];
        p.z = xyz[i][2];
        p.rgba = static_cast<std::uint32_t>(i);
        cloud->points.push_back(p);
    }
    return cloud;
}

// Sixteen points of z = 5 in general position: the sums and the division by
// a power of two are exact, so the fit is exact too.
std::vector<std::array<float, 3>> planeZ5()
{
    std::vector<std::array<float, 3>> xyz;
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> u(-2.0f, 2.0f);
    for (int i = 0; i < 16; ++i) xyz.push_back({u(gen), u(gen), 5.0f});
    return xyz;
}


// The fit as first written: one joined cloud, a copy of the centred points
// and the box through pcl::getMinMax3D.
void literalFit(const pcl::PointCloud<vela::WorkPoint>& cloud, PlaneDescriptor& d)
{
    pcl::getMinMax3D(cloud, d.boxMin, d.boxMax);
    const Eigen::Index n = static_cast<Eigen::Index>(cloud.points.size());
    Eigen::MatrixXd x(n, 3);
    for (Eigen::Index i = 0; i < n; ++i) {
        const vela::WorkPoint& p = cloud.points[static_cast<std::size_t>(i)];
        x(i, 0) = p.x;
        x(i, 1) = p.y;
        x(i, 2) = p.z;
    }
    const Eigen::RowVector3d centroid = x.colwise().sum() / static_cast<double>(n);
    d.centre.x = static_cast<float>(centroid(0));
    d.centre.y = static_cast<float>(centroid(1));
    d.centre.z = static_cast<float>(centroid(2));
    const Eigen::MatrixXd y = x.rowwise() - centroid;
    Eigen::MatrixXd k = y.transpose() * y;
    if (n != 1) k = k / static_cast<double>(n - 1);
    const Eigen::EigenSolver<Eigen::MatrixXd> solver(k);
    const Eigen::MatrixXd pseudo = solver.pseudoEigenvalueMatrix();
    double lambda[3] = {pseudo(0, 0), pseudo(1, 1), pseudo(2, 2)};
    for (int i = 0; i < 2; ++i)
        for (int j = i + 1; j < 3; ++j)
            if (lambda[j] > lambda[i]) std::swap(lambda[i], lambda[j]);
    const double s1 = std::sqrt(lambda[0]), s2 = std::sqrt(lambda[1]), s3 = std::sqrt(lambda[2]);
    d.linearity = (s1 - s2) / s1;
    d.planarity = (s2 - s3) / s1;
    d.scattering = s3 / s1;
    d.curvature = lambda[2] / ((lambda[1] + lambda[0]) + lambda[2]);
    d.curvatureF = static_cast<float>(d.curvature);

    cl::Array<cl::Point3D<double>> points(cloud.points.size());
    for (std::size_t i = 0; i < points.size(); ++i)
        points[i] = cl::Point3D<double>(cloud.points[i].x, cloud.points[i].y, cloud.points[i].z);
    const cl::Vector3D<double> normal = vela::estimateNormal(points);
    d.normal.a = static_cast<float>(normal.x);
    d.normal.b = static_cast<float>(normal.y);
    d.normal.c = static_cast<float>(normal.z);
    const float a = d.normal.a, b = d.normal.b, c = d.normal.c;
    d.d = static_cast<double>(-((b * d.centre.y + a * d.centre.x) + c * d.centre.z));
    d.maxResidual = 0.0;
    for (const vela::WorkPoint& p : cloud.points)
        d.maxResidual = std::max(d.maxResidual, std::fabs(static_cast<double>((b * p.y + a * p.x) + c * p.z) + d.d));
}

// Bit for bit, not-a-number included.
void expectSameBits(const PlaneDescriptor& got, const PlaneDescriptor& want)
{
    const auto bits = [](auto v) {
        std::array<unsigned char, sizeof v> b;
        std::memcpy(b.data(), &v, sizeof v);
        return b;
    };
    for (int a = 0; a < 3; ++a) {
        EXPECT_EQ(bits(got.boxMin.data[a]), bits(want.boxMin.data[a]));
        EXPECT_EQ(bits(got.boxMax.data[a]), bits(want.boxMax.data[a]));
        EXPECT_EQ(bits(got.centre.data[a]), bits(want.centre.data[a]));
    }
    EXPECT_EQ(bits(got.normal.a), bits(want.normal.a));
    EXPECT_EQ(bits(got.normal.b), bits(want.normal.b));
    EXPECT_EQ(bits(got.normal.c), bits(want.normal.c));
    EXPECT_EQ(bits(got.curvatureF), bits(want.curvatureF));
    EXPECT_EQ(bits(got.linearity), bits(want.linearity));
    EXPECT_EQ(bits(got.planarity), bits(want.planarity));
    EXPECT_EQ(bits(got.scattering), bits(want.scattering));
    EXPECT_EQ(bits(got.d), bits(want.d));
    EXPECT_EQ(bits(got.curvature), bits(want.curvature));
    EXPECT_EQ(bits(got.maxResidual), bits(want.maxResidual));
}

TEST(PlaneFit, plane_z5_gives_the_exact_plane)
{
    PlaneDescriptor d;
    EXPECT_TRUE(vela::fitPlaneDescriptor(cloudOf(planeZ5()), d, true));
    EXPECT_EQ(d.normal.a, 0.0f);
    EXPECT_EQ(d.normal.b, 0.0f);
    EXPECT_EQ(std::fabs(d.normal.c), 1.0f);
    EXPECT_EQ(d.d, -5.0 * d.normal.c);
    EXPECT_EQ(d.centre.z, 5.0f);
    EXPECT_EQ(d.curvature, 0.0);
    EXPECT_EQ(d.curvatureF, 0.0f);
    EXPECT_EQ(d.scattering, 0.0);
    EXPECT_EQ(d.maxResidual, 0.0);
    EXPECT_GT(d.planarity, 0.0);
    EXPECT_EQ(d.boxMin.z, 5.0f);
    EXPECT_EQ(d.boxMax.z, 5.0f);
}

TEST(PlaneFit, tilted_noisy_plane)
{
    // z = 0.5 x - 0.25 y + 3 with +-1 mm of noise.
    std::vector<std::array<float, 3>> xyz;
    std::mt19937 gen(9);
    std::uniform_real_distribution<float> u(0.0f, 4.0f), e(-0.001f, 0.001f);
    for (int i = 0; i < 500; ++i) {
        const float x = u(gen), y = u(gen);
        xyz.push_back({x, y, 0.5f * x - 0.25f * y + 3.0f + e(gen)});
    }
    PlaneDescriptor d;
    vela::fitPlaneDescriptor(cloudOf(xyz), d, true);
    const double len = std::sqrt(0.25 + 0.0625 + 1.0);
    const double sign = d.normal.c > 0 ? 1.0 : -1.0;
    EXPECT_NEAR(d.normal.a, sign * -0.5 / len, 1e-3);
    EXPECT_NEAR(d.normal.b, sign * 0.25 / len, 1e-3);
    EXPECT_NEAR(d.normal.c, sign * 1.0 / len, 1e-3);
    EXPECT_NEAR(d.d, sign * -3.0 / len, 1e-2);
    EXPECT_GT(d.maxResidual, 0.0);
    EXPECT_LT(d.maxResidual, 0.002);
    EXPECT_LT(d.curvature, 1e-5);
    EXPECT_GT(d.planarity, d.linearity);
    EXPECT_GT(d.planarity, d.scattering);
    EXPECT_EQ(d.curvatureF, static_cast<float>(d.curvature));
}

TEST(PlaneFit, points_on_a_line_are_linear)
{
    std::vector<cl::Point3D<double>> line;
    for (int i = 0; i < 15; ++i) line.push_back(cl::Point3D<double>(0.5 * i, 1.0 * i, 0.0));
    const cl::Vector3D<double> n = vela::estimateNormal(line.data(), line.size());
    // Any normal of the line is valid; the closed form takes the one out of
    // the first two covariance rows, here the z axis.
    EXPECT_EQ(n.x, 0.0);
    EXPECT_EQ(n.y, 0.0);
    EXPECT_EQ(std::fabs(n.z), 1.0);

    std::vector<std::array<float, 3>> xyz;
    for (const auto& p : line) xyz.push_back({static_cast<float>(p.x), static_cast<float>(p.y), 2.0f});
    PlaneDescriptor d;
    vela::fitPlaneDescriptor(cloudOf(xyz), d, true);
    EXPECT_NEAR(d.linearity, 1.0, 1e-6);
    EXPECT_FALSE(d.planarity > d.linearity);
}

TEST(PlaneFit, one_point_gives_not_a_number)
{
    PlaneDescriptor d;
    d.maxResidual = 7.0;
    vela::fitPlaneDescriptor(cloudOf({{1.0f, 2.0f, 3.0f}}), d, true);
    EXPECT_TRUE(std::isnan(d.linearity));
    EXPECT_TRUE(std::isnan(d.planarity));
    EXPECT_TRUE(std::isnan(d.scattering));
    EXPECT_TRUE(std::isnan(d.curvature));
    EXPECT_TRUE(std::isnan(d.normal.a));
    EXPECT_TRUE(std::isnan(d.d));
    EXPECT_EQ(d.maxResidual, 0.0);
    EXPECT_EQ(d.centre.x, 1.0f);
    EXPECT_EQ(d.centre.z, 3.0f);
}

TEST(PlaneFit, box_only_update_keeps_the_plane_fields)
{
    std::vector<std::array<float, 3>> xyz = planeZ5();
    PlaneDescriptor d;
    d.label = 4;
    d.planar = 1;
    d.colour = {1, 2, 3};
    vela::fitPlaneDescriptor(cloudOf(xyz), d, true);
    const PlaneDescriptor full = d;
    xyz.push_back({10.0f, -3.0f, 1.0f});
    vela::fitPlaneDescriptor(cloudOf(xyz), d, false);
    EXPECT_EQ(d.normal.c, full.normal.c);
    EXPECT_EQ(d.d, full.d);
    EXPECT_EQ(d.curvature, full.curvature);
    EXPECT_EQ(d.maxResidual, full.maxResidual);
    EXPECT_EQ(d.planarity, full.planarity);
    EXPECT_EQ(d.label, 4);
    EXPECT_EQ(d.planar, 1);
    EXPECT_EQ(d.colour.b, 3);
    EXPECT_EQ(d.boxMax.x, 10.0f);
    EXPECT_EQ(d.boxMin.z, 1.0f);
    // Box centre replaces the centroid: float sum, halved in double.
    EXPECT_EQ(d.centre.z, static_cast<float>(static_cast<double>(1.0f + 5.0f) * 0.5));
    EXPECT_EQ(d.centre.x, static_cast<float>(static_cast<double>(d.boxMin.x + 10.0f) * 0.5));
}

TEST(PlaneFit, empty_cloud_box_is_inverted)
{
    PlaneDescriptor d;
    vela::fitPlaneDescriptor(vela::makeWorkCloud(), d, false);
    EXPECT_EQ(d.boxMin.x, FLT_MAX);
    EXPECT_EQ(d.boxMax.y, -FLT_MAX);
    EXPECT_EQ(d.centre.z, 0.0f);
}

TEST(PlaneFit, segment_refit_fits_the_union_of_its_members)
{
    vela::SupervoxelSet set;
    std::vector<std::array<float, 3>> xyz = planeZ5();
    std::vector<std::array<float, 3>> a(xyz.begin(), xyz.begin() + 8), b(xyz.begin() + 8, xyz.end());
    set.supervoxels.resize(2);
    set.supervoxels[0].cloud = cloudOf(a);
    set.supervoxels[1].cloud = cloudOf(b);
    set.planarCount = 2;

    vela::PlaneSegment segment;
    segment.descriptor.maxResidual = 9.0;
    EXPECT_FALSE(vela::refitSegment(set, segment, true));
    EXPECT_EQ(segment.descriptor.maxResidual, 9.0);

    segment.members = {1, 0};
    EXPECT_TRUE(vela::refitSegment(set, segment, true));
    std::vector<std::array<float, 3>> joined(b);
    joined.insert(joined.end(), a.begin(), a.end());
    PlaneDescriptor want;
    vela::fitPlaneDescriptor(cloudOf(joined), want, true);
    EXPECT_EQ(segment.descriptor.centre.x, want.centre.x);
    EXPECT_EQ(segment.descriptor.d, want.d);
    EXPECT_EQ(segment.descriptor.linearity, want.linearity);
}

// Sizes around the product's switch to blocked evaluation and odd sizes
// that shift the columns' alignment; clouds far from the origin and thin
// sheets; split into runs at random places, empty runs included.
TEST(PlaneFit, fits_of_clouds_in_runs_give_the_literal_fit_of_the_joined_cloud)
{
    std::mt19937 gen(11);
    for (std::size_t n : {1u, 2u, 3u, 7u, 13u, 14u, 15u, 16u, 17u, 100u, 1001u, 4096u, 20001u}) {
        for (int shape = 0; shape < 3; ++shape) {
            const float far = shape == 2 ? 4.0e5f : 0.0f;
            std::normal_distribution<float> u(0.0f, 3.0f), thin(0.0f, shape == 1 ? 1e-3f : 3.0f);
            pcl::PointCloud<vela::WorkPoint> joined;
            std::vector<WorkCloud> runs(1, vela::makeWorkCloud());
            std::uniform_int_distribution<int> cut(0, 9);
            for (std::size_t i = 0; i < n; ++i) {
                vela::WorkPoint p;
                p.x = far + u(gen);
                p.y = -far + u(gen);
                p.z = thin(gen);
                joined.points.push_back(p);
                while (cut(gen) == 0) runs.push_back(vela::makeWorkCloud());
                runs.back()->points.push_back(p);
            }
            runs.push_back(vela::makeWorkCloud());
            vela::CloudRuns pointers;
            for (const WorkCloud& r : runs) pointers.push_back(r.get());

            PlaneDescriptor want, fromRuns, fromOne;
            literalFit(joined, want);
            vela::fitPlaneDescriptor(pointers, fromRuns, true);
            vela::fitPlaneDescriptor(WorkCloud(new pcl::PointCloud<vela::WorkPoint>(joined)), fromOne, true);
            SCOPED_TRACE(testing::Message() << n << " points, shape " << shape << ", " << runs.size() << " runs");
            expectSameBits(fromRuns, want);
            expectSameBits(fromOne, want);
        }
    }
}

}  // namespace
