// The text and PLY readers: what they keep of a file and what they refuse.
#include <gtest/gtest.h>
#include <pcl/io/ply_io.h>

#include "ply_reader.h"
#include "support/test_support.h"
#include "xyz_reader.h"

using VELA::SVPoint3d;

namespace {

struct Read {
    bool ok = false;
    bool hasColour = false;
    std::vector<SVPoint3d> points;
    std::string out;
    std::string err;
};

template <typename Reader>
Read readWith(Reader reader, const std::string& path)
{
    Read r;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    r.ok = reader(path, r.points, r.hasColour);
    r.err = testing::internal::GetCapturedStderr();
    r.out = testing::internal::GetCapturedStdout();
    return r;
}

Read readXyz(const testsupport::TempDir& dir, const std::string& text)
{
    testsupport::writeFile(dir.file("in.xyz"), text);
    return readWith(velaseg::readXyzFile, dir.file("in.xyz"));
}

}  // namespace

TEST(XyzReader, full_precision_any_separator_and_comments)
{
    testsupport::TempDir dir;
    const Read r = readXyz(dir, "# x y z\n4520123.4567891234 5300000.1 +100\n\n1e-3,\t2 , 3 # trailing\r\n");
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_FALSE(r.hasColour);
    ASSERT_EQ(r.points.size(), 2u);
    EXPECT_EQ(r.points[0].x, 4520123.4567891234);  // every digit a double holds
    EXPECT_EQ(r.points[0].z, 100.0);
    EXPECT_EQ(r.points[1].x, 0.001);
    EXPECT_EQ(r.points[1].z, 3.0);
    EXPECT_EQ(r.out, "the total number of points is: 2\n");
}

TEST(XyzReader, colour_columns_are_kept)
{
    testsupport::TempDir dir;
    const Read r = readXyz(dir, "1 2 3 255 128 0\n4 5 6 1 2 3\n");
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.hasColour);
    EXPECT_EQ(r.points[0].r, 255);
    EXPECT_EQ(r.points[0].g, 128);
    EXPECT_EQ(r.points[1].b, 3);
}

TEST(XyzReader, first_bad_line_is_named_and_nothing_is_kept)
{
    testsupport::TempDir dir;
    const std::string path = dir.file("in.xyz");
    const std::pair<std::string, std::string> cases[] = {
        {"1 2 3\n1 2\n", "line 2: 2 columns, expected x y z or x y z r g b"},
        {"x,y,z\n1,2,3\n", "line 1: \"x\" is not a finite number"},
        {"1 2 nan\n", "line 1: \"nan\" is not a finite number"},
        {"1 2 3 4 5 256\n", "line 1: \"256\" is not a colour value from 0 to 255"},
        {"1 2 3\n1 2 3 4 5 6\n", "line 2: 6 columns where the lines before have 3"},
        {"1 2 3 4\n", "line 1: 4 columns, expected x y z or x y z r g b"},
    };
    for (const auto& [text, problem] : cases) {
        const Read r = readXyz(dir, text);
        EXPECT_FALSE(r.ok) << text;
        EXPECT_TRUE(r.points.empty()) << text;
        EXPECT_EQ(r.err, "xyz reader: " + path + ": " + problem + "; nothing is read\n") << text;
        EXPECT_EQ(r.out, "") << text;
    }
}

TEST(PlyReader, double_coordinates_and_colour_through_pcl)
{
    testsupport::TempDir dir;
    const std::string path = dir.file("in.ply");
    std::string ply = "ply\nformat binary_little_endian 1.0\nelement vertex 2\nproperty double x\nproperty double y\n"
                      "property double z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n";
    const double xyz[2][3] = {{4520123.4567891234, 0.1, -2.5}, {1, 2, 3}};
    const unsigned char rgb[2][3] = {{10, 20, 30}, {40, 50, 60}};
    for (int i = 0; i < 2; ++i) {
        ply.append(reinterpret_cast<const char*>(xyz[i]), sizeof xyz[i]);
        ply.append(reinterpret_cast<const char*>(rgb[i]), sizeof rgb[i]);
    }
    testsupport::writeFile(path, ply);
    const Read r = readWith(velaseg::readPlyFile, path);
    ASSERT_TRUE(r.ok) << r.err;
    ASSERT_EQ(r.points.size(), 2u);
    EXPECT_EQ(r.points[0].x, 4520123.4567891234);
    EXPECT_EQ(r.points[0].y, 0.1);
    EXPECT_EQ(r.points[1].z, 3.0);
    EXPECT_TRUE(r.hasColour);
    EXPECT_EQ(r.points[0].r, 10);
    EXPECT_EQ(r.points[1].b, 60);
    EXPECT_EQ(r.out, "the total number of points is: 2\n");
}

TEST(PlyReader, float_ascii_without_colour)
{
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("in.ply"), "ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\n"
                                               "property float y\nproperty float z\nend_header\n0.1 2 3\n4 5 6\n");
    const Read r = readWith(velaseg::readPlyFile, dir.file("in.ply"));
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_FALSE(r.hasColour);
    ASSERT_EQ(r.points.size(), 2u);
    EXPECT_EQ(r.points[0].x, static_cast<double>(0.1f));
}

TEST(PlyReader, headers_that_promise_more_than_the_file_holds_are_refused_before_pcl)
{
    const std::string xyz = "property float x\nproperty float y\nproperty float z\n";
    const std::string head = "ply\nformat binary_little_endian 1.0\n";
    EXPECT_EQ(velaseg::plyHeaderProblem(head + "element vertex 2\n" + xyz + "end_header\n", 24), "");
    EXPECT_EQ(velaseg::plyHeaderProblem(head + "element vertex 1000000000\n" + xyz + "end_header\n", 24),
              "the header declares 1000000000 vertices, more than the 24 bytes after it can hold");
    EXPECT_EQ(velaseg::plyHeaderProblem(head + "element vertex 2\n" + xyz +
                                            "element face 99999999\nproperty list uchar int vertex_indices\nend_header\n",
                                        24),
              "the header declares 2 vertices and further elements, more than the 24 bytes after it can hold");
    // Text needs a digit and a separator per value: "0 0 0\n0 0 0\n0 0 0" is 17 bytes.
    EXPECT_EQ(velaseg::plyHeaderProblem("ply\nformat ascii 1.0\nelement vertex 3\n" + xyz + "end_header\n", 17), "");
    EXPECT_EQ(velaseg::plyHeaderProblem("ply\nformat ascii 1.0\nelement vertex 3\n" + xyz + "end_header\n", 16),
              "the header declares 3 vertices, more than the 16 bytes after it can hold");
    EXPECT_EQ(velaseg::plyHeaderProblem(head + "element vertex -1\n" + xyz + "end_header\n", 24),
              "element vertex has no count");
    EXPECT_EQ(velaseg::plyHeaderProblem(head + "element vertex 2\nproperty float x\nproperty float y\nend_header\n", 24),
              "the vertices have no float or double z");
    EXPECT_EQ(velaseg::plyHeaderProblem(head + "element vertex 2\nproperty int x\nproperty float y\nproperty float z\nend_header\n", 24),
              "the vertices have no float or double x");
    EXPECT_EQ(velaseg::plyHeaderProblem("ply\nformat binary_middle_endian 1.0\nelement vertex 0\n" + xyz + "end_header\n", 0),
              "unknown format \"binary_middle_endian\"");
    EXPECT_EQ(velaseg::plyHeaderProblem("PLY\n", 0), "no \"ply\" signature");
}

TEST(PlyReader, refusals_are_one_line_and_keep_nothing)
{
    testsupport::TempDir dir;
    const std::string path = dir.file("in.ply");
    testsupport::writeFile(path, "ply\nformat binary_little_endian 1.0\nelement vertex 1000000000\nproperty float x\n"
                                 "property float y\nproperty float z\nend_header\nshort");
    Read r = readWith(velaseg::readPlyFile, path);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.err, "ply reader: " + path +
                         ": the header declares 1000000000 vertices, more than the 5 bytes after it can hold; "
                         "nothing is read\n");
    testsupport::writeFile(path, "no header at all");
    r = readWith(velaseg::readPlyFile, path);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.err, "ply reader: " + path + ": no PLY header (\"ply\" ... \"end_header\"); nothing is read\n");
    EXPECT_TRUE(r.points.empty());
}
