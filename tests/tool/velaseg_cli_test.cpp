// The velaseg program as a user runs it: arguments, messages, exit status and
// the result file. Runs without a display, so the viewer is never opened.
#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

#include "cli_support.h"
#include "las_writer.h"
#include "sample_scene.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using clisupport::kBinDir;
using clisupport::runVelaseg;
using clisupport::withoutTimes;
using testsupport::CommandResult;
using testsupport::TempDir;

namespace {

const char* const kUsage =
    "usage:   exe   pc_file   (iter_type)\n"
    "pc_file:   the path of input point cloud. (.las/.pcd)\n"
    "iter_type: the iteration type of independent points reclassification. (0(default)/1)\n"
    "parameter description: \n"
    "kappa:     minimum planar point number.\n"
    "phic:      curvature threshold.\n"
    "tau:       distance tolerance value.\n"
    "epsilon:   threshold of NFA.\n"
    "gamma:     neighborhood search radius.\n"
    "delta:     distance threshold between p and RPS.\n"
    "phid:      distance threshold between two planes.\n"
    "theta:     angle threshold between two planes.\n";

// Four points are fewer than kappa: no stage finds a plane.
const std::string kNothingPlanar =
    "planar supervoxels number: 0\n"
    "nonplanar supervoxels number: 1\n"
    "planar points number: 0\n"
    "planar points ratio: 0\n"
    "\n";

std::string parameterBlock(const std::string& kappa = "20")
{
    return "parameters: \n---rmin: 0.25 \n---rmax: 2.5 \n---rdelta: 0.794328 \n---kappa: " + kappa +
           " \n---phic: 0.05 \n---tau: 0.1 \n---epsilon: 0 \n---gamma: 0.35 \n---delta: 0.05 \n"
           "---phid: 0.1 \n---theta: 10 \n\n";
}

// Four points 0.05 apart: mu 0.05 gives round parameters.
void writeSquare(const std::string& path, const std::string& header = "")
{
    testsupport::writeFile(path, header +
        "# .PCD v0.7\nVERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n"
        "WIDTH 4\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 4\nDATA ascii\n"
        "0 0 0\n0.05 0 0\n0 0.05 0\n0.05 0.05 0\n");
}

}  // namespace

TEST(VelasegCli, no_argument_prints_the_usage_and_exits_1)
{
    TempDir dir;
    const CommandResult r = runVelaseg(dir, "");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, kUsage);
}

TEST(VelasegCli, pcd_run_prints_its_lines_in_order_and_writes_the_result)
{
    TempDir dir;
    writeSquare(dir.file("square.pcd"));
    const CommandResult r = runVelaseg(dir, "square.pcd");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(withoutTimes(r.out),
              "input file type: pcd\n"
              "the total number of points is: 4\n"
              "the mu of input point cloud is: 0.05\n"
              "no configuration file loaded, use default parameters\n" +
                  parameterBlock() +
                  "start Multi-scale Supervoxel Segmentation...\n" + kNothingPlanar +
                  "start RPS Generation...\n" + kNothingPlanar +
                  "start RPS Optmization...\n"
                  "error...\n" + kNothingPlanar +
                  "start RPS based region growing...\n"
                  "planar supervoxels number: 0\n"
                  "nonplanar supervoxels number: 1\n"
                  "\n"
                  "VELA time is: <t>s\n"
                  "Total time is: <t>s\n");
    EXPECT_TRUE(fs::exists(dir.file("square_seg_VELA.xyz")));
}

// Unknown types used to run on no points and exit 0; they are refused now.
TEST(VelasegCli, type_is_the_exact_text_after_the_last_dot)
{
    TempDir dir;
    writeSquare(dir.file("scan.PCD"));
    fs::create_directory(dir.file("a.b"));
    writeSquare(dir.file("a.b/scan"));
    for (const std::string arg : {"scan.PCD", "a.b/scan", "noextension"}) {
        const CommandResult r = runVelaseg(dir, arg);
        EXPECT_EQ(r.exitCode, 2) << arg;
        EXPECT_EQ(r.out, "") << arg;
        EXPECT_EQ(r.err, "velaseg: " + arg + ": unknown input type (the name must end in .las, .laz, .pcd, .ply, "
                         ".xyz or .txt); nothing is segmented\n");
    }
    EXPECT_FALSE(fs::exists(dir.file("a.b/scan_seg_VELA.xyz")));
}

TEST(VelasegCli, missing_input_exits_2_before_segmenting)
{
    TempDir dir;
    const CommandResult r = runVelaseg(dir, "absent.pcd 1 extra arguments");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "input file type: pcd\n");
    EXPECT_EQ(r.err, "velaseg: absent.pcd: no such file; nothing is segmented\n");
    EXPECT_FALSE(fs::exists(dir.file("absent_seg_VELA.xyz")));
}

TEST(VelasegCli, parameter_file_beside_the_executable_amends_the_parameters)
{
    TempDir dir;
    // A private copy of the program and its libraries, with its own velaseg.ini.
    for (const std::string name : {"velaseg", "libVelaCore.so", "libCloudView.so"})
        fs::copy_file(kBinDir + "/" + name, dir.file(name));
    testsupport::writeFile(dir.file("velaseg.ini"), "[PARA]\nkappa=50\n");
    writeSquare(dir.file("square.pcd"));
    const CommandResult r = runVelaseg(dir, "square.pcd", dir.file("velaseg"));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.find("no configuration file loaded"), std::string::npos);
    EXPECT_NE(r.out.find(parameterBlock("50")), std::string::npos) << r.out;
}

TEST(VelasegCli, sample_scene_runs_end_to_end_without_a_display)
{
    TempDir dir;
    velaseg::SceneOptions options;
    options.spacing = 0.2;
    const velaseg::Scene scene = velaseg::makeBuildingScene(options);
    ASSERT_TRUE(velaseg::writeScenePcd(dir.file("house.pcd"), scene.points));
    const CommandResult r = runVelaseg(dir, "house.pcd 1");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("the total number of points is: " + std::to_string(scene.points.size()) + "\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("Total time is: "), std::string::npos);
    EXPECT_TRUE(fs::exists(dir.file("house_seg_VELA.xyz")));
}

TEST(VelasegCli, las_input_in_map_coordinates_runs_end_to_end)
{
    TempDir dir;
    velaseg::SceneOptions options;
    options.spacing = 0.2;
    options.originX = 4520000.0;
    options.originY = 5300000.0;
    const velaseg::Scene scene = velaseg::makeBuildingScene(options);
    velaseg::LasWriteOptions las;
    las.offset[0] = options.originX;
    las.offset[1] = options.originY;
    ASSERT_TRUE(velaseg::writeLasFile(dir.file("house.las"), scene.points, las));
    const CommandResult r = runVelaseg(dir, "house.las");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("input file type: las\nthe total number of points is: " +
                              std::to_string(scene.points.size()) + "\nthe mu of input point cloud is: ", 0),
              0u)
        << r.out;
    EXPECT_TRUE(fs::exists(dir.file("house_seg_VELA.xyz")));
}

TEST(VelasegCli, las_file_that_cannot_be_read_stops_the_run_with_2)
{
    TempDir dir;
    testsupport::writeFile(dir.file("junk.las"), "not a LAS file at all");
    fs::create_directory(dir.file("folder.las"));
    CommandResult r = runVelaseg(dir, "absent.las");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "input file type: las\n");
    EXPECT_EQ(r.err, "velaseg: absent.las: no such file; nothing is segmented\n");
    r = runVelaseg(dir, "folder.las");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "velaseg: folder.las: not a regular file; nothing is segmented\n");
    r = runVelaseg(dir, "junk.las");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "input file type: las\nERROR: could not open lasreader\n");
    EXPECT_EQ(r.err, "las reader: junk.las: not a LAS file (no \"LASF\" signature)\n");
}
