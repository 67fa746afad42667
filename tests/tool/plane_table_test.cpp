#include <cmath>
#include <random>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "plane_table.h"
#include "support/test_support.h"
#include "threads_variable.h"

using VELA::SVPoint3d;
using velaseg::describePlane;
using velaseg::PlaneRecord;

namespace {

// A 2 x 3 rectangle tilted about the x axis (z rises 0.5 per metre of y),
// around `origin`, with an inner point and one point 0.01 above the plane.
std::vector<SVPoint3d> tiltedRectangle(double ox, double oy, double oz)
{
    std::vector<SVPoint3d> points;
    for (double x : {0.0, 2.0})
        for (double y : {0.0, 3.0}) points.emplace_back(ox + x, oy + y, oz + 0.5 * y);
    points.emplace_back(ox + 1.0, oy + 1.5, oz + 0.75);
    points[0].r = 9;
    points[0].g = 8;
    points[0].b = 7;
    return points;
}

}  // namespace

TEST(PlaneTable, exact_plane_at_map_coordinates_keeps_its_offset)
{
    // z = oz + 0.5 (y - oy): normal (0, -0.5, 1) / sqrt(1.25).
    const double ox = 4520000.25, oy = 5300000.5, oz = 100.0;
    const PlaneRecord r = describePlane(3, tiltedRectangle(ox, oy, oz));
    const double norm = std::sqrt(1.25);
    EXPECT_EQ(r.id, 3);
    EXPECT_EQ(r.points, 5u);
    EXPECT_EQ(r.colour[0], 9);
    EXPECT_NEAR(r.a, 0.0, 1e-12);
    EXPECT_NEAR(r.b, -0.5 / norm, 1e-12);
    EXPECT_NEAR(r.c, 1.0 / norm, 1e-12);  // the largest component is positive
    // d is consistent with the normal where the points are: the residual of
    // the centroid, not d itself, is what a tilt of 1e-12 leaves unmoved.
    EXPECT_NEAR(r.a * r.centroid[0] + r.b * r.centroid[1] + r.c * r.centroid[2] + r.d, 0.0, 1e-9);
    EXPECT_NEAR(r.d, -(oz - 0.5 * oy) / norm, 1e-5);
    EXPECT_NEAR(r.centroid[0], ox + 1.0, 1e-9);
    EXPECT_NEAR(r.centroid[1], oy + 1.5, 1e-9);
    EXPECT_LT(r.rmsDistance, 1e-9);
    EXPECT_LT(r.maxDistance, 1e-9);
    EXPECT_EQ(r.low[0], ox);
    EXPECT_EQ(r.high[1], oy + 3.0);
    EXPECT_EQ(r.high[2], oz + 1.5);
    EXPECT_NEAR(r.hullArea, 2.0 * 3.0 * norm, 1e-6);  // the slanted rectangle's own area
}

TEST(PlaneTable, distances_of_points_off_the_plane)
{
    // Four corners of a flat square, two 0.01 above, two 0.01 below.
    std::vector<SVPoint3d> points{{0, 0, 0.01}, {1, 0, -0.01}, {1, 1, 0.01}, {0, 1, -0.01}};
    const PlaneRecord r = describePlane(1, points);
    EXPECT_NEAR(std::fabs(r.c), 1.0, 1e-12);
    EXPECT_NEAR(r.rmsDistance, 0.01, 1e-12);
    EXPECT_NEAR(r.maxDistance, 0.01, 1e-12);
    EXPECT_NEAR(r.hullArea, 1.0, 1e-12);
}

TEST(PlaneTable, neighbours_edge_points_are_left_out_of_the_fit_but_not_out_of_the_measures)
{
    // A 2 x 2 m patch with +-5 mm of noise, and along one edge 30 points of a
    // wall below it, 2 to 6 cm off: a plain fit would tilt and sink.
    std::vector<SVPoint3d> points;
    for (int i = 0; i < 20; ++i)
        for (int j = 0; j < 20; ++j) points.emplace_back(0.1 * i, 0.1 * j, ((i * 7 + j * 13) % 11 - 5) * 0.001);
    for (int k = 0; k < 30; ++k) points.emplace_back(1.9 + 0.003 * (k % 3), 0.065 * k, -0.02 - 0.04 * (k % 2));
    const PlaneRecord r = describePlane(1, points);
    EXPECT_EQ(r.points, 430u);
    EXPECT_EQ(r.fitPoints, 400u);
    EXPECT_LT(std::acos(std::fabs(r.c)) * 180.0 / M_PI, 0.01);
    EXPECT_LT(std::fabs(r.d), 0.0005);
    EXPECT_NEAR(r.maxDistance, 0.06, 0.001);  // the measures see every point
    EXPECT_NEAR(r.low[2], -0.06, 1e-12);
}

TEST(PlaneTable, csv_and_json_hold_the_same_records)
{
    testsupport::TempDir dir;
    const std::vector<PlaneRecord> records{describePlane(1, tiltedRectangle(0, 0, 0)),
                                           describePlane(2, tiltedRectangle(4520000.25, 0, 0))};
    std::string error;
    ASSERT_TRUE(velaseg::writePlaneTable(dir.file("p.csv"), "in.las", records, error));
    ASSERT_TRUE(velaseg::writePlaneTable(dir.file("p.json"), "in.las", records, error));

    const std::string csv = testsupport::readFile(dir.file("p.csv"));
    const std::string header = csv.substr(0, csv.find('\n'));
    EXPECT_EQ(header, "id,red,green,blue,points,fit_points,a,b,c,d,centroid_x,centroid_y,centroid_z,rms_distance,max_distance,"
                      "min_x,min_y,min_z,max_x,max_y,max_z,hull_area");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3);
    const std::string second = csv.substr(csv.find('\n', header.size() + 1) + 1);
    EXPECT_EQ(second.rfind("2,9,8,7,5,5,", 0), 0u) << second;

    const nlohmann::json json = nlohmann::json::parse(testsupport::readFile(dir.file("p.json")));
    EXPECT_EQ(json["input"], "in.las");
    ASSERT_EQ(json["planes"].size(), 2u);
    const nlohmann::json& plane = json["planes"][1];
    EXPECT_EQ(plane["id"], 2);
    EXPECT_EQ(plane["colour"], nlohmann::json({9, 8, 7}));
    EXPECT_EQ(plane["points"], 5);
    EXPECT_EQ(plane["fit_points"], 5);
    // Written in their shortest exact form: they read back to the bit.
    EXPECT_EQ(plane["plane"]["d"].get<double>(), records[1].d);
    EXPECT_EQ(plane["centroid"][0].get<double>(), records[1].centroid[0]);
    EXPECT_EQ(plane["bounds"]["max"][2].get<double>(), records[1].high[2]);
    EXPECT_EQ(plane["hull_area"].get<double>(), records[1].hullArea);
}

TEST(PlaneTable, planes_described_at_once_give_the_records_of_one_plane_after_the_other)
{
    // Noisy planes of very different sizes, an empty one among them.
    std::mt19937_64 random(24);
    std::uniform_real_distribution<double> along(0.0, 20.0), noise(-0.02, 0.02);
    std::vector<std::vector<SVPoint3d>> planes;
    for (std::size_t size : {5000, 3, 0, 700, 12000, 41, 2500, 9}) {
        planes.emplace_back();
        const double tilt = 0.1 * static_cast<double>(planes.size());
        for (std::size_t i = 0; i < size; ++i) {
            const double x = along(random), y = along(random);
            planes.back().emplace_back(4520000.0 + x, 5300000.0 + y, 100.0 + tilt * x + noise(random));
        }
    }
    testsupport::TempDir dir;
    std::vector<PlaneRecord> one;
    for (std::size_t k = 0; k < planes.size(); ++k) one.push_back(describePlane(static_cast<int>(k + 1), planes[k]));
    std::string error;
    // The table prints each double in its shortest exact form: the same text is the same bits.
    ASSERT_TRUE(velaseg::writePlaneTable(dir.file("one.csv"), "in.las", one, error));
    for (const char* threads : toolsupport::kThreadCounts) {
        const toolsupport::ThreadsVariable variable(threads);
        ASSERT_TRUE(velaseg::writePlaneTable(dir.file("all.csv"), "in.las", velaseg::describePlanes(planes), error));
        EXPECT_EQ(testsupport::readFile(dir.file("all.csv")), testsupport::readFile(dir.file("one.csv")))
            << threads << " threads";
    }
}
