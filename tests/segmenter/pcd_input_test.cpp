#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>

#include <sys/stat.h>

#include <gtest/gtest.h>
#include <pcl/io/pcd_io.h>
#include <pcl/point_types.h>

#include "support/test_support.h"
#include "vela_plane.h"

using VELA::SVPoint3d;

namespace {

template <typename PointT>
void writeCloud(const std::string& path, const std::vector<PointT>& points, bool organised = false)
{
    pcl::PointCloud<PointT> cloud;
    cloud.points.assign(points.begin(), points.end());
    cloud.width = static_cast<std::uint32_t>(points.size());
    cloud.height = 1;
    if (organised) {
        cloud.width = 2;
        cloud.height = static_cast<std::uint32_t>(points.size() / 2);
        cloud.is_dense = false;
    }
    ASSERT_EQ(pcl::io::savePCDFileBinary(path, cloud), 0);
}

std::string load(const std::string& path, std::vector<SVPoint3d>& points, std::string* err = nullptr)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(VELA::VELA_Plane().set_points(path, points));
    const std::string e = testing::internal::GetCapturedStderr();
    if (err) *err = e;
    return testing::internal::GetCapturedStdout();
}

pcl::PointXYZRGB coloured(float x, float y, float z)
{
    pcl::PointXYZRGB p(std::uint8_t(255), std::uint8_t(128), std::uint8_t(7));
    p.x = x;
    p.y = y;
    p.z = z;
    return p;
}

}  // namespace

TEST(PcdInput, colour_is_dropped_and_floats_are_widened_exactly)
{
    testsupport::TempDir dir;
    writeCloud<pcl::PointXYZRGB>(dir.file("c.pcd"), {coloured(0.1f, 2.0f, -3.5f), coloured(1, 1, 1)});
    std::vector<SVPoint3d> points;
    EXPECT_EQ(load(dir.file("c.pcd"), points), "the total number of points is: 2\n");
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[0].x, 0.10000000149011612);
    EXPECT_EQ(points[0].y, 2.0);
    EXPECT_EQ(points[0].z, -3.5);
    EXPECT_EQ(points[0].r, 0);
    EXPECT_EQ(points[0].g, 0);
    EXPECT_EQ(points[0].b, 0);
}

TEST(PcdInput, second_file_is_appended_and_counted_with_the_first)
{
    testsupport::TempDir dir;
    std::vector<pcl::PointXYZ> ten(10, pcl::PointXYZ(1, 2, 3));
    std::vector<pcl::PointXYZ> twenty(20, pcl::PointXYZ(4, 5, 6));
    writeCloud(dir.file("a.pcd"), ten);
    writeCloud(dir.file("b.pcd"), twenty);  // no colour field: still read
    std::vector<SVPoint3d> points;
    EXPECT_EQ(load(dir.file("a.pcd"), points), "the total number of points is: 10\n");
    EXPECT_EQ(load(dir.file("b.pcd"), points), "the total number of points is: 30\n");
    EXPECT_EQ(points[9].x, 1.0);
    EXPECT_EQ(points[10].x, 4.0);
}

TEST(PcdInput, missing_file_appends_nothing_and_still_counts)
{
    std::vector<SVPoint3d> points{{7, 7, 7}};
    EXPECT_EQ(load("/nonexistent/cloud.pcd", points), "the total number of points is: 1\n");
    EXPECT_EQ(points.size(), 1u);
}

TEST(PcdInput, non_finite_points_are_skipped_and_reported)
{
    testsupport::TempDir dir;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    writeCloud<pcl::PointXYZ>(dir.file("o.pcd"),
                              {{1, 1, 1}, {nan, nan, nan}, {2, nan, 2}, {3, 3, 3}}, true);
    std::vector<SVPoint3d> points;
    std::string err;
    EXPECT_EQ(load(dir.file("o.pcd"), points, &err), "the total number of points is: 2\n");
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[1].x, 3.0);
    EXPECT_NE(err.find("skipped 2 points with non-finite coordinates"), std::string::npos) << err;
}

TEST(PcdInput, real_organised_cloud_keeps_only_finite_points)
{
    const std::string path = testsupport::sharedDataFile("table_scene_mug_stereo_textured.pcd");
    if (path.empty())
        GTEST_SKIP() << "no table_scene_mug_stereo_textured.pcd in the data folder '" << testsupport::sharedDataDir()
                     << "' (set VELASEG_SHARED_DIR)";
    std::vector<SVPoint3d> points;
    std::string err;
    const std::string out = load(path, points, &err);
    EXPECT_GT(points.size(), 100000u);
    EXPECT_LT(points.size(), 640u * 480u);
    for (const SVPoint3d& p : points) ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
    EXPECT_EQ(out, "the total number of points is: " + std::to_string(points.size()) + "\n");
}

namespace {

// What the library's own reader makes of a file, non-finite points dropped as
// set_points drops them.
std::vector<SVPoint3d> libraryReading(const std::string& path)
{
    pcl::PointCloud<pcl::PointXYZRGB> cloud;
    testing::internal::CaptureStderr();
    EXPECT_EQ(pcl::PCDReader().read(path, cloud), 0) << path;
    testing::internal::GetCapturedStderr();
    std::vector<SVPoint3d> points;
    for (const pcl::PointXYZRGB& p : cloud.points)
        if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) points.emplace_back(p.x, p.y, p.z);
    return points;
}

void expectReadAsTheLibraryReadsIt(const std::string& path)
{
    const std::vector<SVPoint3d> expected = libraryReading(path);
    std::vector<SVPoint3d> points;
    std::string err;
    load(path, points, &err);
    EXPECT_EQ(err.find("no points read"), std::string::npos) << path << ": " << err;
    ASSERT_EQ(points.size(), expected.size()) << path;
    for (std::size_t i = 0; i < points.size(); ++i) {
        ASSERT_EQ(std::memcmp(&points[i].x, &expected[i].x, 3 * sizeof(double)), 0) << path << " point " << i;
    }
}

// Float values of every kind a scan holds: small, large, negative zero,
// subnormal, and NaN in organised clouds.
float valueAt(std::mt19937& random, std::size_t i)
{
    switch (i % 7) {
    case 0: return std::uniform_real_distribution<float>(-1, 1)(random);
    case 1: return std::uniform_real_distribution<float>(-5e6f, 5e6f)(random);
    case 2: return -0.0f;
    case 3: return 1e-40f;
    case 4: return std::uniform_real_distribution<float>(-1e30f, 1e30f)(random);
    default: return static_cast<float>(random() % 1000) * 0.001f;
    }
}

template <typename PointT>
pcl::PointCloud<PointT> randomCloud(std::size_t width, std::size_t height, std::uint32_t seed)
{
    std::mt19937 random(seed);
    pcl::PointCloud<PointT> cloud;
    cloud.width = static_cast<std::uint32_t>(width);
    cloud.height = static_cast<std::uint32_t>(height);
    cloud.is_dense = height == 1;
    cloud.points.resize(width * height);
    for (std::size_t i = 0; i < cloud.points.size(); ++i) {
        PointT& p = cloud.points[i];
        p.x = valueAt(random, i);
        p.y = valueAt(random, i + 1);
        p.z = valueAt(random, i + 3);
        if (height > 1 && i % 5 == 0) p.x = p.y = p.z = std::numeric_limits<float>::quiet_NaN();
    }
    return cloud;
}

template <typename PointT>
void writeEveryEncoding(const testsupport::TempDir& dir, const std::string& name, const pcl::PointCloud<PointT>& cloud,
                        std::vector<std::string>& paths)
{
    pcl::PCDWriter writer;
    paths.push_back(dir.file(name + "_ascii.pcd"));
    ASSERT_EQ(writer.writeASCII(paths.back(), cloud), 0);
    paths.push_back(dir.file(name + "_binary.pcd"));
    ASSERT_EQ(writer.writeBinary(paths.back(), cloud), 0);
    paths.push_back(dir.file(name + "_compressed.pcd"));
    ASSERT_EQ(writer.writeBinaryCompressed(paths.back(), cloud), 0);
}

// A record the library has no point type for: x behind a double, a padding
// gap, counts above one.
pcl::PCLPointCloud2 unusualLayout(std::size_t n)
{
    pcl::PCLPointCloud2 blob;
    auto field = [&blob](const char* name, std::uint32_t offset, std::uint8_t type, std::uint32_t count) {
        pcl::PCLPointField f;
        f.name = name;
        f.offset = offset;
        f.datatype = type;
        f.count = count;
        blob.fields.push_back(f);
    };
    field("time", 0, pcl::PCLPointField::FLOAT64, 1);
    field("x", 8, pcl::PCLPointField::FLOAT32, 1);
    field("label", 12, pcl::PCLPointField::UINT8, 3);
    field("y", 16, pcl::PCLPointField::FLOAT32, 1);  // bytes 15..16 are padding
    field("z", 20, pcl::PCLPointField::FLOAT32, 1);
    field("histogram", 24, pcl::PCLPointField::INT16, 5);
    blob.point_step = 34;
    blob.width = static_cast<std::uint32_t>(n);
    blob.height = 1;
    blob.row_step = blob.point_step * blob.width;
    blob.is_dense = true;
    blob.data.resize(blob.row_step);
    std::mt19937 random(7);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t* record = blob.data.data() + i * blob.point_step;
        for (std::uint32_t b = 0; b < blob.point_step; ++b) record[b] = static_cast<std::uint8_t>(random());
        const double time = static_cast<double>(i) * 0.25;
        const float xyz[3] = {valueAt(random, i), valueAt(random, i + 2), valueAt(random, i + 4)};
        std::memcpy(record, &time, 8);
        std::memcpy(record + 8, &xyz[0], 4);
        std::memcpy(record + 16, &xyz[1], 4);
        std::memcpy(record + 20, &xyz[2], 4);
    }
    return blob;
}

}  // namespace

TEST(PcdInput, every_sound_file_reads_as_the_library_reads_it)
{
    testsupport::TempDir dir;
    std::vector<std::string> paths;
    for (const char* name : {"milk.pcd", "office1.pcd", "sac_plane_test.pcd", "table_scene_mug_stereo_textured.pcd"}) {
        const std::string path = testsupport::sharedDataFile(name);
        if (!path.empty()) paths.push_back(path);
    }
    writeEveryEncoding(dir, "xyz", randomCloud<pcl::PointXYZ>(300, 1, 1), paths);
    writeEveryEncoding(dir, "rgb_organised", randomCloud<pcl::PointXYZRGB>(20, 15, 2), paths);
    writeEveryEncoding(dir, "normal", randomCloud<pcl::PointNormal>(257, 1, 3), paths);
    writeEveryEncoding(dir, "intensity", randomCloud<pcl::PointXYZI>(64, 2, 4), paths);
    writeEveryEncoding(dir, "rgbnormal", randomCloud<pcl::PointXYZRGBNormal>(100, 1, 5), paths);
    const pcl::PCLPointCloud2 blob = unusualLayout(150);
    pcl::PCDWriter writer;
    for (const char* encoding : {"ascii", "binary", "compressed"}) {
        paths.push_back(dir.file(std::string("unusual_") + encoding + ".pcd"));
        const std::string& path = paths.back();
        const int written = encoding[0] == 'a'   ? writer.writeASCII(path, blob)
                            : encoding[0] == 'b' ? writer.writeBinary(path, blob)
                                                 : writer.writeBinaryCompressed(path, blob);
        ASSERT_EQ(written, 0) << path;
    }
    // Headers as other writers make them: no COUNT, no HEIGHT, WIDTH before
    // SIZE, lower-case types, empty and comment lines, tabs, CRLF.
    paths.push_back(dir.file("hand_ascii.pcd"));
    testsupport::writeFile(paths.back(), "# hand made\r\n\nVERSION .7\r\nWIDTH 3\r\nFIELDS x\ty z\r\nSIZE 4 4 4\r\n"
                                         "TYPE f f f\r\nPOINTS 3\r\nDATA ascii\r\n 1.5 -2\t3e2 \r\n\n"
                                         "NaN 1 1\r\n0.1 0.2 0.3\r\nignored line\r\n");
    paths.push_back(dir.file("hand_binary.pcd"));
    const float raw[6] = {0.1f, -0.0f, 7.0f, 1e-40f, 2.5e9f, -3.25f};
    testsupport::writeFile(paths.back(), "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS 2\nDATA binary\n" +
                                             std::string(reinterpret_cast<const char*>(raw), sizeof raw));

    for (const std::string& path : paths) expectReadAsTheLibraryReadsIt(path);
}

TEST(PcdInput, malformed_files_read_no_points_and_say_why_in_one_line)
{
    testsupport::TempDir dir;
    const std::string header = "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 2\nHEIGHT 1\nPOINTS 2\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "the file is empty"},
        {"FIELDS x y z\nSIZE -1 4 4\nTYPE F F F\nPOINTS 1\nDATA ascii\n1 2 3\n", "SIZE '-1' of field 'x'"},
        {"FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 -1\nPOINTS 1\nDATA ascii\n1 2 3\n", "COUNT '-1'"},
        {"FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1073741824\nPOINTS 1\nDATA binary\n", "COUNT '1073741824'"},
        {"FIELDS x y z\nSIZE 4 4 2147483647\nTYPE F F F\nPOINTS 1\nDATA binary\n", "SIZE '2147483647'"},
        {"FIELDS x y z\nTYPE F F F\nPOINTS 1\nDATA ascii\n1 2 3\n", "no SIZE line"},
        {header + "DATA\n1 2 3\n4 5 6\n", "DATA needs one data type"},
        {"FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS -1\nDATA binary\n", "POINTS needs one whole number"},
        {"FIELDS a b c\nSIZE 4 4 4\nTYPE F F F\nPOINTS 1\nDATA ascii\n1 2 3\n", "no field x"},
        {"FIELDS x y z\nSIZE 4 4 4\nTYPE F F Q\nPOINTS 1\nDATA ascii\n1 2 3\n", "TYPE 'Q'"},
        {"FIELDS x y z\nSIZE 4 4 3\nTYPE F F F\nPOINTS 1\nDATA ascii\n1 2 3\n", "SIZE '3'"},
        {header + "DATA ascii\n1 2 3\nabc 5 6\n", "'abc' is not a number"},
        {"FIELDS x y z w\nSIZE 4 4 4 4\nTYPE F F F F\nPOINTS 2\nDATA binary\n" + std::string(24, '\1'),
         "POINTS x point size needs 32"},
        {header + "DATA binary_compressed\n" + std::string("\x10\0\0\0\0\0\0\0", 8) + std::string(16, '\1'),
         "uncompressed size 0"},
        {header + "DATA binary_compressed\n" + std::string("\x10\0\0\0\xff\xff\xff\xff", 8) + std::string(16, '\1'),
         "uncompressed size 4294967295"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string path = dir.file("case" + std::to_string(i) + ".pcd");
        testsupport::writeFile(path, cases[i].first);
        std::vector<SVPoint3d> points{{7, 7, 7}};
        std::string err;
        EXPECT_EQ(load(path, points, &err), "the total number of points is: 1\n") << cases[i].second;
        EXPECT_EQ(points.size(), 1u);
        EXPECT_EQ(err.rfind("set_points: " + path + ": ", 0), 0u) << err;
        EXPECT_NE(err.find(cases[i].second), std::string::npos) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    }
}

TEST(PcdInput, directory_fifo_and_endless_device_named_pcd_are_refused_unread)
{
    testsupport::TempDir dir;
    ASSERT_TRUE(std::filesystem::create_directory(dir.file("scan.pcd")));
    ASSERT_EQ(mkfifo(dir.file("pipe.pcd").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", dir.file("zero.pcd"));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"scan.pcd", "not a regular file but a directory"},
        {"pipe.pcd", "not a regular file but a FIFO"},
        {"zero.pcd", "not a regular file but a character device"},
    };
    for (const auto& c : cases) {
        std::vector<SVPoint3d> points;
        std::string err;
        EXPECT_EQ(load(dir.file(c.first), points, &err), "the total number of points is: 0\n");
        EXPECT_EQ(err, "set_points: " + dir.file(c.first) + ": " + c.second + "; no points read\n");
    }
}

TEST(PcdInput, skipped_rows_are_listed_with_their_points_so_rows_line_up_with_the_file)
{
    testsupport::TempDir dir;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    writeCloud<pcl::PointXYZ>(dir.file("o.pcd"), {{1, 1, 1}, {nan, nan, nan}, {2, nan, 2}, {3, 3, 3}}, true);
    std::vector<SVPoint3d> points;
    std::vector<VELA::tag_SkippedPoint> skipped;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(VELA::VELA_Plane().set_points(dir.file("o.pcd"), points, skipped));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "the total number of points is: 2\n");
    ASSERT_EQ(points.size(), 2u);
    ASSERT_EQ(skipped.size(), 2u);
    EXPECT_EQ(skipped[0].row, 1u);
    EXPECT_EQ(skipped[1].row, 2u);
    EXPECT_EQ(skipped[1].point.x, 2.0);  // the finite coordinates stay as read
    EXPECT_TRUE(std::isnan(skipped[1].point.y));
}

TEST(PcdInput, a_file_that_cannot_be_read_returns_false)
{
    // (An empty cloud, POINTS 0, would tell the two apart too, but PCL 1.13
    // binds a reference to the data of an empty vector converting it.)
    testsupport::TempDir dir;
    writeCloud<pcl::PointXYZ>(dir.file("one.pcd"), {{1, 2, 3}});
    std::vector<SVPoint3d> points;
    std::vector<VELA::tag_SkippedPoint> skipped;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool one = VELA::VELA_Plane().set_points(dir.file("one.pcd"), points, skipped);
    const bool missing = VELA::VELA_Plane().set_points(dir.file("missing.pcd"), points, skipped);
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(one);
    EXPECT_FALSE(missing);
    EXPECT_EQ(points.size(), 1u);
    EXPECT_TRUE(skipped.empty());
}
