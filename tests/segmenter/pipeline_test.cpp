// The segmentation methods end to end on generated scenes with known planes.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <regex>

#include <gtest/gtest.h>

#include "sample_scene.h"
#include "support/thread_counts.h"
#include "vela_base_offset.h"
#include "vela_plane.h"

using VELA::SVPoint3d;
using VELA::tag_PCoefficient;

namespace {

velaseg::Scene house(double originX = 0, double originY = 0, double originZ = 0)
{
    velaseg::SceneOptions options;
    options.spacing = 0.15;
    options.originX = originX;
    options.originY = originY;
    options.originZ = originZ;
    return velaseg::makeBuildingScene(options);
}

// A segmenter set up as velaseg sets it up for these points.
VELA::VELA_Plane segmenterFor(const std::vector<SVPoint3d>& points)
{
    VELA::VELA_Plane plane;
    testing::internal::CaptureStdout();
    plane.set_parameters(plane.get_mu(points));
    testing::internal::GetCapturedStdout();
    return plane;
}

struct LabelRun {
    std::map<int, int> labels;
    std::map<int, tag_PCoefficient> coefficients;
    std::string printed;
};

LabelRun segmentWithLabels(VELA::VELA_Plane& plane, const std::vector<SVPoint3d>& points)
{
    LabelRun run;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(plane.VELA_PlaneSegmentation(points, run.labels, run.coefficients));
    run.printed = testing::internal::GetCapturedStdout();
    return run;
}

// The label most of a true plane's points carry, and that share.
std::pair<int, double> majorityLabel(const LabelRun& run, const velaseg::ScenePlane& truth)
{
    std::map<int, std::size_t> votes;
    for (std::size_t i = truth.first; i < truth.first + truth.count; ++i) ++votes[run.labels.at(static_cast<int>(i))];
    auto best = std::max_element(votes.begin(), votes.end(),
                                 [](const auto& a, const auto& b) { return a.second < b.second; });
    return {best->first, static_cast<double>(best->second) / static_cast<double>(truth.count)};
}

bool sameBytes(const SVPoint3d& a, const SVPoint3d& b)
{
    return std::memcmp(&a.x, &b.x, sizeof(double)) == 0 && std::memcmp(&a.y, &b.y, sizeof(double)) == 0 &&
           std::memcmp(&a.z, &b.z, sizeof(double)) == 0 && a.r == b.r && a.g == b.g && a.b == b.b;
}

// Checks every true plane against its segment; returns the labels used.
std::vector<int> expectPlanesFound(const velaseg::Scene& scene, const LabelRun& run, double offsetTolerance)
{
    std::vector<int> used;
    for (const velaseg::ScenePlane& truth : scene.planes) {
        const auto [label, share] = majorityLabel(run, truth);
        EXPECT_GE(share, 0.9) << truth.name;
        EXPECT_GE(label, 0) << truth.name;
        EXPECT_EQ(std::count(used.begin(), used.end(), label), 0) << truth.name << " shares its segment";
        used.push_back(label);
        if (label < 0) continue;
        const tag_PCoefficient& c = run.coefficients.at(label);
        const double dot = c.a * truth.a + c.b * truth.b + c.c * truth.c;
        EXPECT_GT(std::fabs(dot), 0.9995) << truth.name;  // within 1.8 degrees
        // The offset is judged where the plane is, at its points: far from
        // the origin a tiny tilt moves d a lot without moving the plane.
        double sum = 0.0;
        for (std::size_t i = truth.first; i < truth.first + truth.count; ++i) {
            const SVPoint3d& p = scene.points[i];
            sum += std::fabs(c.a * p.x + c.b * p.y + c.c * p.z + c.d);
        }
        EXPECT_LT(sum / static_cast<double>(truth.count), offsetTolerance) << truth.name;
    }
    return used;
}

}  // namespace

TEST(Pipeline, every_plane_of_the_house_is_one_segment_with_its_coefficients)
{
    const velaseg::Scene scene = house();
    VELA::VELA_Plane plane = segmenterFor(scene.points);
    const LabelRun run = segmentWithLabels(plane, scene.points);
    ASSERT_EQ(run.labels.size(), scene.points.size());  // every point labelled
    EXPECT_EQ(run.coefficients.size(), scene.planes.size());
    expectPlanesFound(scene, run, 0.01);
}

TEST(Pipeline, map_coordinates_give_the_same_planes_moved_back_to_input_coordinates)
{
    const velaseg::Scene near = house();
    const velaseg::Scene far = house(4520000.0, 5300000.0, 100.0);
    VELA::VELA_Plane nearPlane = segmenterFor(near.points);
    VELA::VELA_Plane farPlane = segmenterFor(far.points);
    const LabelRun nearRun = segmentWithLabels(nearPlane, near.points);
    const LabelRun farRun = segmentWithLabels(farPlane, far.points);
    // The offsets are corrected with float products of the frame origin:
    // near 5e6 their rounding is a fraction of a metre.
    const std::vector<int> nearLabels = expectPlanesFound(near, nearRun, 0.01);
    const std::vector<int> farLabels = expectPlanesFound(far, farRun, 0.5);
    // Segments may be numbered differently; the partition is the same.
    std::map<int, int> farOf;
    for (std::size_t k = 0; k < nearLabels.size(); ++k) farOf[nearLabels[k]] = farLabels[k];
    std::size_t agree = 0;
    for (const auto& [index, label] : nearRun.labels) agree += farOf.count(label) && farRun.labels.at(index) == farOf[label];
    EXPECT_GT(static_cast<double>(agree) / static_cast<double>(near.points.size()), 0.999);
}

TEST(Pipeline, vector_overload_gives_d_in_the_shifted_frame_and_map_overload_in_input_coordinates)
{
    const velaseg::Scene far = house(4520000.0, 5300000.0, 100.0);
    VELA::VELA_Plane plane = segmenterFor(far.points);
    std::vector<std::vector<SVPoint3d>> planes;
    std::vector<SVPoint3d> others;
    std::vector<tag_PCoefficient> shifted;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(plane.VELA_PlaneSegmentation(far.points, planes, others, shifted));
    testing::internal::GetCapturedStdout();
    const LabelRun run = segmentWithLabels(plane, far.points);
    ASSERT_EQ(run.coefficients.size(), shifted.size());

    const vela::BaseOffset o = vela::baseOffsetOf(far.points);
    ASSERT_EQ(o.x, 4520000);
    for (std::size_t k = 0; k < shifted.size(); ++k) {
        const tag_PCoefficient& s = shifted[k];
        const tag_PCoefficient& m = run.coefficients.at(static_cast<int>(k));
        EXPECT_EQ(m.a, s.a);
        EXPECT_EQ(m.c, s.c);
        const double moved = s.d - double(float(o.x) * float(s.a)) - double(float(o.y) * float(s.b)) -
                             double(float(o.z) * float(s.c));
        EXPECT_EQ(m.d, moved) << "plane " << k;
        // The plane's own points lie on it in the shifted frame; in input
        // coordinates they would be kilometres off.
        double sum = 0.0;
        for (const SVPoint3d& p : planes[k]) sum += std::fabs(s.a * (p.x - o.x) + s.b * (p.y - o.y) + s.c * (p.z - o.z) + s.d);
        EXPECT_LT(sum / static_cast<double>(planes[k].size()), 0.02) << "plane " << k;
    }
}

TEST(Pipeline, runs_are_reproducible_and_outputs_are_appended_to)
{
    const velaseg::Scene scene = house();
    VELA::VELA_Plane plane = segmenterFor(scene.points);
    std::vector<std::vector<SVPoint3d>> planes[2];
    std::vector<SVPoint3d> others[2];
    std::vector<tag_PCoefficient> coefficients[2];
    planes[1].push_back({SVPoint3d(7, 7, 7)});
    others[1].push_back(SVPoint3d(8, 8, 8));
    coefficients[1].push_back({1, 2, 3, 4});
    for (int run = 0; run < 2; ++run) {
        testing::internal::CaptureStdout();
        EXPECT_TRUE(plane.VELA_PlaneSegmentation(scene.points, planes[run], others[run], coefficients[run]));
        testing::internal::GetCapturedStdout();
    }
    ASSERT_EQ(planes[1].size(), planes[0].size() + 1);
    ASSERT_EQ(coefficients[1].size(), coefficients[0].size() + 1);
    ASSERT_EQ(others[1].size(), others[0].size() + 1);
    EXPECT_EQ(planes[1][0][0].x, 7.0);
    std::size_t total = others[0].size();
    for (std::size_t k = 0; k < planes[0].size(); ++k) {
        total += planes[0][k].size();
        ASSERT_EQ(planes[0][k].size(), planes[1][k + 1].size());
        for (std::size_t i = 0; i < planes[0][k].size(); ++i) ASSERT_TRUE(sameBytes(planes[0][k][i], planes[1][k + 1][i]));
        EXPECT_EQ(std::memcmp(&coefficients[0][k], &coefficients[1][k + 1], sizeof(tag_PCoefficient)), 0);
    }
    EXPECT_EQ(total, scene.points.size());
    // The first plane takes the first colour of the generator.
    EXPECT_EQ(planes[0][0][0].r, 145);
    EXPECT_EQ(planes[0][0][0].g, 187);
    EXPECT_EQ(planes[0][0][0].b, 92);
}

TEST(Pipeline, any_thread_count_gives_the_same_planes_and_messages)
{
    // Two houses on a grid: equal distances everywhere, and enough points
    // for every stage to split its work.
    velaseg::SceneOptions options;
    options.spacing = 0.1;
    options.housesX = 2;
    const velaseg::Scene scene = velaseg::makeBuildingScene(options);
    struct Run {
        std::vector<std::vector<SVPoint3d>> planes;
        std::vector<SVPoint3d> others;
        std::vector<tag_PCoefficient> coefficients;
        std::string printed;
    };
    const std::vector<Run> runs = testsupport::onEachThreadCount([&] {
        Run run;
        VELA::VELA_Plane plane = segmenterFor(scene.points);
        testing::internal::CaptureStdout();
        EXPECT_TRUE(plane.VELA_PlaneSegmentation(scene.points, run.planes, run.others, run.coefficients));
        run.printed = std::regex_replace(testing::internal::GetCapturedStdout(), std::regex("VELA time is: .*"), "");
        return run;
    });
    EXPECT_GT(runs[0].planes.size(), 10u);
    for (std::size_t t = 1; t < runs.size(); ++t) {
        SCOPED_TRACE(testsupport::kThreadCounts[t]);
        EXPECT_EQ(runs[t].printed, runs[0].printed);
        ASSERT_EQ(runs[t].planes.size(), runs[0].planes.size());
        ASSERT_EQ(runs[t].others.size(), runs[0].others.size());
        for (std::size_t k = 0; k < runs[0].planes.size(); ++k) {
            ASSERT_EQ(runs[t].planes[k].size(), runs[0].planes[k].size());
            for (std::size_t i = 0; i < runs[0].planes[k].size(); ++i)
                ASSERT_TRUE(sameBytes(runs[t].planes[k][i], runs[0].planes[k][i]));
            EXPECT_EQ(std::memcmp(&runs[t].coefficients[k], &runs[0].coefficients[k], sizeof(tag_PCoefficient)), 0);
        }
        for (std::size_t i = 0; i < runs[0].others.size(); ++i) ASSERT_TRUE(sameBytes(runs[t].others[i], runs[0].others[i]));
    }
}

TEST(Pipeline, prints_each_stage_with_its_statistics)
{
    const velaseg::Scene scene = house();
    VELA::VELA_Plane plane = segmenterFor(scene.points);
    const LabelRun run = segmentWithLabels(plane, scene.points);
    const std::string& out = run.printed;
    std::size_t at = 0;
    for (const char* line : {"parameters: \n", "start Multi-scale Supervoxel Segmentation...\n", "planar points ratio: ",
                             "start RPS Generation...\n", "planar points ratio: ", "start RPS Optmization...\n",
                             "planar points ratio: ", "start RPS based region growing...\n",
                             "planar supervoxels number: 11\nnonplanar supervoxels number: 1\n\nVELA time is: "}) {
        const std::size_t found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << out;
        at = found + std::strlen(line);
    }
    // Nothing stays independent on this scene.
    EXPECT_NE(out.find("planar points number: " + std::to_string(scene.points.size()) + "\nplanar points ratio: 1\n"),
              std::string::npos);
}

TEST(Pipeline, second_iteration_type_also_finds_every_plane)
{
    const velaseg::Scene scene = house();
    VELA::VELA_Plane plane = segmenterFor(scene.points);
    plane.set_iter(1);
    expectPlanesFound(scene, segmentWithLabels(plane, scene.points), 0.01);
}

TEST(Pipeline, inputs_without_usable_points_are_refused_silently)
{
    VELA::VELA_Plane plane;
    std::vector<std::vector<SVPoint3d>> planes;
    std::vector<SVPoint3d> others;
    std::vector<tag_PCoefficient> coefficients;
    std::map<int, int> labels;
    std::map<int, tag_PCoefficient> byLabel;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(plane.VELA_PlaneSegmentation({}, planes, others, coefficients));
    EXPECT_FALSE(plane.VELA_PlaneSegmentation({SVPoint3d(nan, 0, 0)}, labels, byLabel));
    EXPECT_FALSE(plane.VELA_RPSGeneration({}, planes, others, coefficients));
    EXPECT_FALSE(plane.VELA_RegionGrowing({}, planes, coefficients));
    EXPECT_FALSE(plane.VELA_RegionGrowing({{}, {SVPoint3d(1, 2, 3)}}, planes, coefficients));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Pipeline, non_finite_points_belong_to_no_output)
{
    velaseg::Scene scene = house();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    scene.points.insert(scene.points.begin(), SVPoint3d(nan, nan, nan));
    scene.points.push_back(SVPoint3d(1.0, std::numeric_limits<double>::infinity(), 0.0));
    VELA::VELA_Plane plane = segmenterFor(scene.points);
    const LabelRun run = segmentWithLabels(plane, scene.points);
    EXPECT_EQ(run.labels.size(), scene.points.size() - 2);
    EXPECT_EQ(run.labels.count(0), 0u);
    EXPECT_EQ(run.labels.count(static_cast<int>(scene.points.size() - 1)), 0u);
}

TEST(Pipeline, points_beyond_the_single_precision_frame_belong_to_no_output_and_are_counted)
{
    velaseg::Scene scene = house();
    const std::vector<SVPoint3d> kept = scene.points;
    scene.points.emplace_back(1e39, 0.0, 0.0);  // overflows float after the shift
    scene.points.emplace_back(0.0, 0.0, 1e30);  // fits float; its distances would not
    VELA::VELA_Plane plane = segmenterFor(scene.points);
    EXPECT_EQ(plane.get_para().rmin, segmenterFor(kept).get_para().rmin);  // the spacing ignores them too
    testing::internal::CaptureStderr();
    const LabelRun run = segmentWithLabels(plane, scene.points);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "VELA_PlaneSegmentation: left out 2 of " + std::to_string(scene.points.size()) +
                  " points whose coordinates are not finite in the single-precision working frame\n");
    EXPECT_EQ(run.labels.size(), kept.size());
    expectPlanesFound(scene, run, 0.01);
}

TEST(Pipeline, far_identical_outliers_leave_the_plane_whole)
{
    // Grids of cells between the plane and the outliers hold more cells than
    // an int can number; the plane must still come out.
    std::vector<SVPoint3d> points;
    for (int i = 0; i < 20; ++i)
        for (int j = 0; j < 20; ++j) points.emplace_back(0.1 * i, 0.1 * j, 0.0);
    points.emplace_back(1e12, 1e12, 1e12);
    points.emplace_back(1e12, 1e12, 1e12);
    VELA::VELA_Plane plane = segmenterFor(points);
    std::vector<std::vector<SVPoint3d>> planes;
    std::vector<SVPoint3d> others;
    std::vector<tag_PCoefficient> coefficients;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(plane.VELA_PlaneSegmentation(points, planes, others, coefficients));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(planes.size(), 1u);
    EXPECT_EQ(planes[0].size(), 400u);
    EXPECT_EQ(others.size(), 2u);
}

TEST(Pipeline, map_coordinates_beyond_the_32_bit_offset_keep_every_plane)
{
    // At 2.2e9 a 32-bit offset cannot be formed; without one, float spacing
    // there is 256 and every plane is lost.
    const velaseg::Scene near = house(2.0e9, 2.0e9, 100.0);
    const velaseg::Scene far = house(2.2e9, 2.2e9, 100.0);
    VELA::VELA_Plane nearPlane = segmenterFor(near.points);
    VELA::VELA_Plane farPlane = segmenterFor(far.points);
    const LabelRun nearRun = segmentWithLabels(nearPlane, near.points);
    const LabelRun farRun = segmentWithLabels(farPlane, far.points);
    std::map<int, int> farOf;
    for (const velaseg::ScenePlane& truth : far.planes) {
        const auto [nearLabel, nearShare] = majorityLabel(nearRun, truth);
        const auto [farLabel, farShare] = majorityLabel(farRun, truth);
        EXPECT_GE(nearShare, 0.9) << truth.name;
        EXPECT_GE(farShare, 0.9) << truth.name;
        EXPECT_GE(farLabel, 0) << truth.name;
        farOf[nearLabel] = farLabel;
    }
    std::size_t agree = 0;
    for (const auto& [index, label] : nearRun.labels) agree += farOf.count(label) && farRun.labels.at(index) == farOf[label];
    EXPECT_GT(static_cast<double>(agree) / static_cast<double>(near.points.size()), 0.999);
}

TEST(Pipeline, coordinates_beyond_a_64_bit_offset_are_named_on_stderr)
{
    std::vector<SVPoint3d> points{SVPoint3d(1e19, 5.0, 5.0)};  // chooses the frame: x offset 0
    const velaseg::Scene scene = house();
    points.insert(points.end(), scene.points.begin(), scene.points.end());
    VELA::VELA_Plane plane = segmenterFor(points);
    testing::internal::CaptureStderr();
    const LabelRun run = segmentWithLabels(plane, points);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("VELA_PlaneSegmentation: left out 1 of "), std::string::npos) << err;
    EXPECT_NE(err.find("VELA_PlaneSegmentation: coordinates of 9.2e18 or more cannot be shifted near the origin"),
              std::string::npos)
        << err;
    EXPECT_EQ(run.labels.size(), scene.points.size());

    // Nothing the frame can hold: refused, and said so.
    VELA::VELA_Plane fresh;
    std::vector<std::vector<SVPoint3d>> planes;
    std::vector<SVPoint3d> others;
    std::vector<tag_PCoefficient> coefficients;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(fresh.VELA_PlaneSegmentation({SVPoint3d(1e39, 0, 0), SVPoint3d(0, 1e39, 0)}, planes, others,
                                              coefficients));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "VELA_PlaneSegmentation: none of the 2 points has coordinates finite in the single-precision working "
              "frame; nothing segmented\n");
}

TEST(RpsGeneration, prints_its_own_stages_and_returns_every_point_once)
{
    const velaseg::Scene scene = house();
    VELA::VELA_Plane plane = segmenterFor(scene.points);
    std::vector<std::vector<SVPoint3d>> rps;
    std::vector<SVPoint3d> independent;
    std::vector<tag_PCoefficient> coefficients;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(plane.VELA_RPSGeneration(scene.points, rps, independent, coefficients));
    const std::string out = testing::internal::GetCapturedStdout();
    std::size_t at = 0;
    for (const char* line : {"start multi-scale supervoxel segmentation...\nplanar supervoxels number: ",
                             "start initial rigorous planar supervoxel generation...\nplanar supervoxels number: ",
                             "start independent points reclassification...\nplanar supervoxels number: ",
                             "VELA time is: "}) {
        const std::size_t found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << out;
        at = found;
    }
    EXPECT_EQ(out.find("planar points ratio"), std::string::npos);
    EXPECT_EQ(rps.size(), coefficients.size());
    EXPECT_GT(rps.size(), scene.planes.size());  // patches, not yet grown into planes
    std::size_t total = independent.size();
    for (const auto& patch : rps) total += patch.size();
    EXPECT_EQ(total, scene.points.size());
}

TEST(RegionGrowing, caller_patches_grow_into_planes_in_input_coordinates)
{
    // Two touching patches of the plane z = 100 and one of the wall x = 1003.
    std::vector<std::vector<SVPoint3d>> patches(3);
    for (int i = 0; i < 10; ++i) {
        for (int j = 0; j < 10; ++j) {
            patches[0].emplace_back(1000.0 + 0.1 * i, 0.1 * j, 100.0 + 0.001 * ((i * 7 + j * 3) % 5));
            patches[1].emplace_back(1001.05 + 0.1 * i, 0.1 * j, 100.0 + 0.001 * ((i * 3 + j * 7) % 5));
            patches[2].emplace_back(1003.0 + 0.001 * ((i + j) % 3), 0.1 * j, 100.0 + 0.1 * i);
        }
    }
    VELA::VELA_Plane plane;  // gamma 0.4, phid 0.1, theta 10
    std::vector<std::vector<SVPoint3d>> planes;
    std::vector<tag_PCoefficient> coefficients;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(plane.VELA_RegionGrowing(patches, planes, coefficients));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "planar supervoxels number: 2\nnonplanar supervoxels number: 0\n");
    ASSERT_EQ(planes.size(), 2u);
    ASSERT_EQ(planes[0].size() + planes[1].size(), 300u);
    const auto& floor = planes[0].size() == 200 ? planes[0] : planes[1];
    EXPECT_EQ(floor.size(), 200u);
    for (const SVPoint3d& p : floor) {
        EXPECT_NEAR(p.z, 100.0, 0.01);
        EXPECT_EQ(p.r + p.g + p.b, 0);
    }
    // Coordinates come back as float frame origin plus float local value.
    for (const SVPoint3d& p : floor) EXPECT_EQ(p.x, static_cast<double>(static_cast<float>(p.x)));
}

TEST(Pipeline, plane_indices_name_the_input_point_behind_every_plane_point)
{
    velaseg::Scene scene = house();
    // A non-finite point first: indices count it, the working cloud does not.
    scene.points.insert(scene.points.begin(), SVPoint3d(std::nan(""), 0, 0));
    VELA::VELA_Plane plane = segmenterFor(scene.points);
    std::vector<std::vector<SVPoint3d>> planes[2];
    std::vector<SVPoint3d> others[2];
    std::vector<tag_PCoefficient> coefficients[2];
    std::vector<std::vector<std::size_t>> indices;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(plane.VELA_PlaneSegmentation(scene.points, planes[0], others[0], coefficients[0]));
    const std::string printedWithout = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(plane.VELA_PlaneSegmentation(scene.points, planes[1], others[1], coefficients[1], indices));
    const std::string printedWith = testing::internal::GetCapturedStdout();

    static const std::regex time("VELA time is: [0-9.]+s");
    EXPECT_EQ(std::regex_replace(printedWith, time, ""), std::regex_replace(printedWithout, time, ""));
    ASSERT_EQ(planes[1].size(), planes[0].size());
    ASSERT_EQ(indices.size(), planes[1].size());
    EXPECT_EQ(others[1].size(), others[0].size());
    for (std::size_t k = 0; k < planes[1].size(); ++k) {
        EXPECT_EQ(std::memcmp(&coefficients[0][k], &coefficients[1][k], sizeof(tag_PCoefficient)), 0);
        ASSERT_EQ(indices[k].size(), planes[1][k].size());
        for (std::size_t j = 0; j < indices[k].size(); ++j) {
            ASSERT_TRUE(sameBytes(planes[0][k][j], planes[1][k][j]));
            const SVPoint3d& source = scene.points.at(indices[k][j]);
            ASSERT_TRUE(source.x == planes[1][k][j].x && source.y == planes[1][k][j].y && source.z == planes[1][k][j].z);
        }
    }
}

TEST(Pipeline, progress_reports_stages_levels_and_iterations_in_order_and_changes_nothing)
{
    const velaseg::Scene scene = house();
    VELA::VELA_Plane plane = segmenterFor(scene.points);
    plane.set_iter(1);
    std::vector<std::vector<SVPoint3d>> planes[2];
    std::vector<SVPoint3d> others[2];
    std::vector<tag_PCoefficient> coefficients[2];
    std::vector<std::vector<std::size_t>> indices[2];
    std::vector<std::string> reports;
    const VELA::ProgressCallback record = [&reports](const VELA::tag_Progress& p) {
        reports.push_back(std::string(p.stage) + " " + std::to_string(p.iteration) + " " + std::to_string(p.level));
    };
    testing::internal::CaptureStdout();
    plane.VELA_PlaneSegmentation(scene.points, planes[0], others[0], coefficients[0], indices[0]);
    plane.VELA_PlaneSegmentation(scene.points, planes[1], others[1], coefficients[1], indices[1], record);
    testing::internal::GetCapturedStdout();

    ASSERT_EQ(planes[1].size(), planes[0].size());
    for (std::size_t k = 0; k < planes[0].size(); ++k) {
        EXPECT_EQ(indices[1][k], indices[0][k]);
        EXPECT_EQ(std::memcmp(&coefficients[0][k], &coefficients[1][k], sizeof(tag_PCoefficient)), 0);
    }
    ASSERT_GE(reports.size(), 7u);
    EXPECT_EQ(reports[0], "multi-scale supervoxels 0 0");
    EXPECT_EQ(reports[1], "multi-scale supervoxels 0 1");
    EXPECT_EQ(reports[2], "multi-scale supervoxels 0 2");
    const auto at = [&reports](const std::string& r) { return std::find(reports.begin(), reports.end(), r) - reports.begin(); };
    EXPECT_LT(at("RPS generation 0 0"), at("RPS optimisation 0 0"));
    EXPECT_LT(at("RPS optimisation 0 0"), at("RPS optimisation 1 0"));
    EXPECT_LT(at("RPS optimisation 1 0"), at("region growing 0 0"));
    EXPECT_EQ(reports.back(), "segment merging 0 0");
    EXPECT_EQ(std::count(reports.begin(), reports.end(), "RPS optimisation 1 0"), 1);
}
