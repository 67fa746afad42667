#include <cmath>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "result_file.h"
#include "support/test_support.h"
#include "threads_variable.h"

using VELA::SVPoint3d;

namespace {

SVPoint3d point(double x, double y, double z, int r, int g, int b)
{
    SVPoint3d p(x, y, z);
    p.r = static_cast<std::uint8_t>(r);
    p.g = static_cast<std::uint8_t>(g);
    p.b = static_cast<std::uint8_t>(b);
    return p;
}

}  // namespace

TEST(ResultFileName, last_extension_becomes_seg_vela_xyz)
{
    EXPECT_EQ(velaseg::resultFileName("data/site1.las"), "data/site1_seg_VELA.xyz");
    EXPECT_EQ(velaseg::resultFileName("scan.part2.pcd"), "scan.part2_seg_VELA.xyz");
    EXPECT_EQ(velaseg::resultFileName("scan.PCD"), "scan_seg_VELA.xyz");
}

TEST(ResultFileName, dots_in_directories_never_move_the_result)
{
    EXPECT_EQ(velaseg::resultFileName("a.b/scan"), "a.b/scan_seg_VELA.xyz");
    EXPECT_EQ(velaseg::resultFileName("scan"), "scan_seg_VELA.xyz");
}

TEST(ResultFileName, long_paths_are_not_cut)
{
    const std::string dir(600, 'd');
    EXPECT_EQ(velaseg::resultFileName(dir + "/x.las"), dir + "/x_seg_VELA.xyz");
}

TEST(ResultFile, planes_in_order_with_twenty_digit_coordinates)
{
    testsupport::TempDir dir;
    const std::string path = dir.file("r.xyz");
    testsupport::writeFile(path, "old contents that must go\n");
    const velaseg::Planes planes{
        {point(12.5, -3.25, 100, 255, 0, 17), point(0.1, 500123.45, 1e-5, 1, 2, 3), point(-0.0, 2, 3, 4, 5, 6)},
        {point(1, 1, 1, 9, 9, 9), point(2, 2, 2, 9, 9, 9)}};
    std::string error;
    ASSERT_TRUE(velaseg::writeResultFile(path, planes, error));
    EXPECT_EQ(testsupport::readFile(path),
              "12.5 \t-3.25 \t100 \t255 \t0 \t17 \t\n"
              "0.10000000000000000555 \t500123.45000000001164 \t1.0000000000000000818e-05 \t1 \t2 \t3 \t\n"
              "-0 \t2 \t3 \t4 \t5 \t6 \t\n"
              "1 \t1 \t1 \t9 \t9 \t9 \t\n"
              "2 \t2 \t2 \t9 \t9 \t9 \t\n");
}

TEST(ResultFile, no_planes_give_an_empty_file_and_an_unwritable_path_fails)
{
    testsupport::TempDir dir;
    std::string error;
    ASSERT_TRUE(velaseg::writeResultFile(dir.file("empty.xyz"), {}, error));
    EXPECT_EQ(testsupport::readFile(dir.file("empty.xyz")), "");
    EXPECT_FALSE(velaseg::writeResultFile(dir.file("missing/dir.xyz"), {}, error));
    EXPECT_EQ(error, "No such file or directory");
}

TEST(ViewerCloud, frame_of_the_first_point_of_the_first_plane)
{
    const velaseg::Planes planes{{point(4520123.7, -1999.9, 5.0, 10, 20, 30)}, {point(4520124.7, -1999.9, 6.0, 1, 2, 3)}};
    const auto cloud = velaseg::makeViewerCloud(planes);
    ASSERT_EQ(cloud->points.size(), 2u);
    EXPECT_EQ(cloud->points[0].x, static_cast<float>(4520123.7 - 4520000));
    EXPECT_EQ(cloud->points[0].y, static_cast<float>(-1999.9 + 1000));
    EXPECT_EQ(cloud->points[1].z, 6.0f);
    EXPECT_EQ(cloud->points[0].r, 10);
    EXPECT_EQ(cloud->points[0].g, 20);
    EXPECT_EQ(cloud->points[0].b, 30);
    EXPECT_EQ(cloud->points[0].a, 255);
    EXPECT_TRUE(velaseg::makeViewerCloud({}) ->points.empty());
    EXPECT_TRUE(velaseg::makeViewerCloud({{}, {point(1, 2, 3, 0, 0, 0)}})->points.size() == 1);
}

TEST(ResultFile, lines_match_a_stream_with_precision_20_digit_for_digit)
{
    std::mt19937_64 random(20);
    std::uniform_real_distribution<double> local(-1000.0, 1000.0), map(-5e6, 5e6);
    std::vector<double> values{0.0, -0.0, 1e-320, 5e-324, 1e300, -2.5e-7, 123456789012345678.0, 0.1, 1.0 / 3.0};
    for (int i = 0; i < 20000; ++i) {
        values.push_back(local(random));
        values.push_back(map(random));
        values.push_back(std::ldexp(local(random), static_cast<int>(random() % 200) - 100));
    }
    for (std::size_t i = 0; i + 2 < values.size(); i += 3) {
        SVPoint3d p = point(values[i], values[i + 1], values[i + 2], static_cast<int>(i % 256), 255, 0);
        std::ostringstream literal;
        literal.precision(20);
        literal << p.x << " \t" << p.y << " \t" << p.z << " \t" << static_cast<int>(p.r) << " \t"
                << static_cast<int>(p.g) << " \t" << static_cast<int>(p.b) << " \t" << '\n';
        std::string line;
        velaseg::appendResultLine(line, p);
        ASSERT_EQ(line, literal.str());
    }
}

namespace {

// The writer before blocks were formatted in parallel: one line after the
// other, planes in order.
std::string literalResultText(const velaseg::Planes& planes)
{
    std::string text;
    for (const auto& plane : planes)
        for (const SVPoint3d& p : plane) velaseg::appendResultLine(text, p);
    return text;
}

// Planes of sizes around the writer's block of points, empty ones between.
velaseg::Planes planesOfSizes(const std::vector<std::size_t>& sizes)
{
    std::mt19937_64 random(21);
    std::uniform_real_distribution<double> local(-50.0, 50.0), map(4e6, 5e6);
    velaseg::Planes planes;
    for (std::size_t size : sizes) {
        planes.emplace_back();
        for (std::size_t i = 0; i < size; ++i)
            planes.back().push_back(point(map(random), local(random), local(random) * 1e-3,
                                          static_cast<int>(random() % 256), static_cast<int>(i % 256),
                                          static_cast<int>(planes.size() % 256)));
    }
    return planes;
}

}  // namespace

TEST(ResultFile, blocks_formatted_at_once_give_the_bytes_of_the_line_by_line_writer)
{
    const std::vector<std::vector<std::size_t>> layouts{
        {0, 1, 8191, 8192, 8193, 0, 3, 20000, 0},
        {16384},
        {0, 0},
        {5, 0, 8187, 1, 1, 24575, 7},
        std::vector<std::size_t>(3000, 9),
    };
    testsupport::TempDir dir;
    for (std::size_t l = 0; l < layouts.size(); ++l) {
        const velaseg::Planes planes = planesOfSizes(layouts[l]);
        const std::string want = literalResultText(planes);
        for (const char* threads : toolsupport::kThreadCounts) {
            const toolsupport::ThreadsVariable variable(threads);
            const std::string path = dir.file("blocks.xyz");
            std::string error;
            ASSERT_TRUE(velaseg::writeResultFile(path, planes, error)) << error;
            const std::string written = testsupport::readFile(path);
            EXPECT_EQ(written.size(), want.size()) << "layout " << l << ", " << threads << " threads";
            EXPECT_TRUE(written == want) << "layout " << l << ", " << threads << " threads";
        }
    }
}
