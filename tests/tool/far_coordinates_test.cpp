// velaseg on LAS files whose coordinates leave the single-precision frame or
// the 32-bit offset: the planes that can be kept come out, and what cannot is
// named on standard error.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "las_writer.h"
#include "sample_scene.h"
#include "support/test_support.h"

namespace {

testsupport::CommandResult runVelaseg(const testsupport::TempDir& dir, const std::string& input)
{
    return testsupport::runCommand("cd '" + dir.path().string() + "' && env -u DISPLAY '" +
                                       std::string(VELASEG_BINARY_DIR) + "/velaseg' " + input,
                                   dir);
}

std::size_t resultLines(const testsupport::TempDir& dir, const std::string& name)
{
    const std::string text = testsupport::readFile(dir.file(name));
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

velaseg::Scene houseAt(double x, double y)
{
    velaseg::SceneOptions options;
    options.spacing = 0.2;
    options.originX = x;
    options.originY = y;
    return velaseg::makeBuildingScene(options);
}

}  // namespace

TEST(VelasegFarCoordinates, z_scale_of_1e30_leaves_the_overflowing_points_out_and_keeps_the_plane)
{
    testsupport::TempDir dir;
    std::vector<VELA::SVPoint3d> points;
    for (int i = 0; i < 30; ++i)
        for (int j = 0; j < 30; ++j) points.emplace_back(0.1 * i, 0.1 * j, 0.0);
    points.emplace_back(1.0, 1.0, 1e39);  // stored as 1e9 times the scale
    points.emplace_back(2.0, 1.0, 1e39);
    velaseg::LasWriteOptions las;
    las.scale[2] = 1e30;
    ASSERT_TRUE(velaseg::writeLasFile(dir.file("scaled.las"), points, las));
    const testsupport::CommandResult r = runVelaseg(dir, "scaled.las");
    EXPECT_NE(r.err.find("VELA_PlaneSegmentation: left out 2 of 902 points whose coordinates are not finite"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(resultLines(dir, "scaled_seg_VELA.xyz"), 900u);
}

TEST(VelasegFarCoordinates, house_near_2_2e9_keeps_the_planes_it_has_near_2_0e9)
{
    testsupport::TempDir dir;
    for (const auto& [name, origin] : {std::pair<std::string, double>{"near", 2.0e9}, {"far", 2.2e9}}) {
        const velaseg::Scene scene = houseAt(origin, origin);
        velaseg::LasWriteOptions las;
        las.offset[0] = origin;
        las.offset[1] = origin;
        ASSERT_TRUE(velaseg::writeLasFile(dir.file(name + ".las"), scene.points, las));
        runVelaseg(dir, name + ".las");
    }
    const std::size_t near = resultLines(dir, "near_seg_VELA.xyz");
    EXPECT_GT(near, 0u);
    EXPECT_EQ(resultLines(dir, "far_seg_VELA.xyz"), near);
}
