// What velaseg writes besides standard output: the result file, the labels
// in every format, the plane table, and what is left when an output cannot
// be written or the input cannot be read.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>

#include "cli_support.h"
#include "las_reader.h"
#include "las_writer.h"
#include "ply_reader.h"
#include "sample_scene.h"

namespace fs = std::filesystem;
using clisupport::resultPoints;
using clisupport::runVelaseg;
using clisupport::withoutTimes;
using clisupport::Xyz;
using testsupport::CommandResult;
using testsupport::TempDir;
using VELA::SVPoint3d;

namespace {

// ---- an independent reading of LAS 1.4 labels, from the format's layout ----

template <typename T>
T at(const std::string& bytes, std::size_t offset)
{
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

struct LasLabels {
    int versionMinor = 0;
    int format = 0;
    std::size_t recordLength = 0;
    std::uint64_t count = 0;
    double scale[3] = {};
    double offset[3] = {};
    std::string descriptors;  // "type:name" of each Extra Bytes descriptor
    std::vector<std::string> records;
    std::vector<std::int32_t> planeIds;
};

LasLabels parseLasLabels(const std::string& path)
{
    static const std::size_t standardLength[11] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
    static const std::size_t typeSize[11] = {0, 1, 1, 2, 2, 4, 4, 8, 8, 4, 8};
    const std::string file = testsupport::readFile(path);
    LasLabels las;
    las.versionMinor = file[25];
    las.format = static_cast<unsigned char>(file[104]);
    las.recordLength = at<std::uint16_t>(file, 105);
    las.count = at<std::uint64_t>(file, 247);
    for (int axis = 0; axis < 3; ++axis) {
        las.scale[axis] = at<double>(file, 131 + 8 * axis);
        las.offset[axis] = at<double>(file, 155 + 8 * axis);
    }
    // Walk the VLRs to the Extra Bytes one; PlaneId's place is the sum of the
    // sizes of the descriptors before it.
    std::size_t vlr = at<std::uint16_t>(file, 94);
    std::size_t planeIdAt = 0;
    for (std::uint32_t i = 0; i < at<std::uint32_t>(file, 100); ++i) {
        const std::size_t length = at<std::uint16_t>(file, vlr + 20);
        if (std::string(file.c_str() + vlr + 2) == "LASF_Spec" && at<std::uint16_t>(file, vlr + 18) == 4) {
            std::size_t extraAt = standardLength[las.format];
            for (std::size_t d = vlr + 54; d < vlr + 54 + length; d += 192) {
                const int type = static_cast<unsigned char>(file[d + 2]);
                const std::string name(file.c_str() + d + 4);
                las.descriptors += std::to_string(type) + ":" + name + ",";
                if (name == "PlaneId") planeIdAt = extraAt;
                extraAt += type == 0 ? static_cast<unsigned char>(file[d + 3]) : typeSize[type];
            }
        }
        vlr += 54 + length;
    }
    const std::size_t data = at<std::uint32_t>(file, 96);
    for (std::uint64_t i = 0; i < las.count && planeIdAt > 0; ++i) {
        las.records.push_back(file.substr(data + i * las.recordLength, las.recordLength));
        las.planeIds.push_back(at<std::int32_t>(las.records.back(), planeIdAt));
    }
    return las;
}

// ---- the labels read back by the project's readers ----

struct Rows {
    std::vector<SVPoint3d> points;
    std::vector<int> planes;  // -1 for none
};

std::vector<SVPoint3d> readLas(const std::string& path)
{
    std::vector<SVPoint3d> points;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(velaseg::readLasFile(path, points));
    testing::internal::GetCapturedStdout();
    return points;
}

const pcl::PCLPointField* field(const pcl::PCLPointCloud2& cloud, const std::string& name)
{
    for (const pcl::PCLPointField& f : cloud.fields)
        if (f.name == name) return &f;
    return nullptr;
}

// A PCD or PLY file through PCL, its points through the PLY reader's
// conversion and the plane from `planeField`.
Rows readThroughPcl(const std::string& path, const std::string& planeField, bool pcd)
{
    pcl::PCLPointCloud2 cloud;
    if (pcd) EXPECT_EQ(pcl::PCDReader().read(path, cloud), 0);
    else EXPECT_EQ(pcl::PLYReader().read(path, cloud), 0);
    Rows rows;
    bool colour = false;
    std::string problem;
    EXPECT_TRUE(velaseg::appendCloudPoints(cloud, rows.points, colour, problem)) << problem;
    const pcl::PCLPointField* plane = field(cloud, planeField);
    if (!plane) {
        ADD_FAILURE() << "no field " << planeField;
        return rows;
    }
    for (std::size_t i = 0; i < rows.points.size(); ++i) {
        const std::int32_t id = at<std::int32_t>(
            std::string(reinterpret_cast<const char*>(cloud.data.data() + i * cloud.point_step), cloud.point_step),
            plane->offset);
        // PCD labels count from 1 with 0 for none; PLY uses -1 for none.
        rows.planes.push_back(pcd ? (id == 0 ? -1 : id) : id);
    }
    return rows;
}

Rows readText(const std::string& path)
{
    Rows rows;
    std::istringstream lines(testsupport::readFile(path));
    std::string line;
    while (std::getline(lines, line)) {
        char* end = nullptr;
        SVPoint3d p;
        p.x = std::strtod(line.c_str(), &end);
        p.y = std::strtod(end + 1, &end);
        p.z = std::strtod(end + 1, &end);
        rows.points.push_back(p);
        rows.planes.push_back(static_cast<int>(std::strtol(end + 1, nullptr, 10)));
    }
    return rows;
}

Rows readLabels(const std::string& path)
{
    const std::string ext = path.substr(path.rfind('.'));
    if (ext == ".pcd") return readThroughPcl(path, "label", true);
    if (ext == ".ply") return readThroughPcl(path, "plane", false);
    if (ext == ".las") {
        Rows rows;
        rows.points = readLas(path);
        for (std::int32_t id : parseLasLabels(path).planeIds) rows.planes.push_back(id);
        return rows;
    }
    return readText(path);
}

std::vector<std::size_t> planeCounts(const std::string& planesCsv)
{
    std::vector<std::size_t> counts;
    std::istringstream lines(testsupport::readFile(planesCsv));
    std::string line;
    std::getline(lines, line);  // header
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string value;
        for (int column = 0; column < 5; ++column) std::getline(fields, value, ',');
        counts.push_back(std::stoul(value));
    }
    return counts;
}

// Each plane's rows hold exactly the points of its lines of the result file.
void expectPlanesMatchResult(const Rows& rows, const std::string& resultFile, const std::vector<std::size_t>& counts)
{
    const std::vector<Xyz> result = resultPoints(resultFile);
    std::size_t total = 0;
    for (std::size_t n : counts) total += n;
    ASSERT_EQ(total, result.size());
    std::map<int, std::vector<Xyz>> labelled;
    for (std::size_t i = 0; i < rows.points.size(); ++i)
        if (rows.planes[i] > 0) labelled[rows.planes[i]].push_back({rows.points[i].x, rows.points[i].y, rows.points[i].z});
    ASSERT_EQ(labelled.size(), counts.size());
    std::size_t first = 0;
    for (std::size_t k = 0; k < counts.size(); ++k) {
        std::vector<Xyz> lines(result.begin() + static_cast<std::ptrdiff_t>(first),
                               result.begin() + static_cast<std::ptrdiff_t>(first + counts[k]));
        std::vector<Xyz>& mine = labelled[static_cast<int>(k + 1)];
        std::sort(lines.begin(), lines.end());
        std::sort(mine.begin(), mine.end());
        EXPECT_TRUE(lines == mine) << "plane " << k + 1;
        first += counts[k];
    }
}

bool sameCoordinates(const SVPoint3d& a, const SVPoint3d& b)
{
    return std::memcmp(&a.x, &b.x, 8) == 0 && std::memcmp(&a.y, &b.y, 8) == 0 && std::memcmp(&a.z, &b.z, 8) == 0;
}

velaseg::Scene house(double spacing, double originX = 0.0)
{
    velaseg::SceneOptions options;
    options.spacing = spacing;
    options.originX = originX;
    options.originY = originX == 0.0 ? 0.0 : 5300000.0;
    options.originZ = originX == 0.0 ? 0.0 : 100.0;
    return velaseg::makeBuildingScene(options);
}

void writeHouseLas(const std::string& path, const velaseg::Scene& scene, std::uint16_t extraBytes = 0)
{
    velaseg::LasWriteOptions las;
    las.offset[0] = scene.points[0].x - std::fmod(scene.points[0].x, 1000.0);
    las.offset[1] = scene.points[0].y - std::fmod(scene.points[0].y, 1000.0);
    las.extraBytes = extraBytes;
    ASSERT_TRUE(velaseg::writeLasFile(path, scene.points, las));
}

std::vector<std::string> entries(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(VelasegLabels, every_format_lists_each_input_point_with_the_planes_of_the_result_file)
{
    TempDir dir;
    ASSERT_TRUE(velaseg::writeScenePcd(dir.file("house.pcd"), house(0.25).points));
    std::vector<SVPoint3d> input;
    testing::internal::CaptureStdout();
    VELA::VELA_Plane().set_points(dir.file("house.pcd"), input);
    testing::internal::GetCapturedStdout();

    const CommandResult plain = runVelaseg(dir, "house.pcd --no-viewer");
    const std::string result = testsupport::readFile(dir.file("house_seg_VELA.xyz"));
    std::vector<int> firstPlanes;
    for (const std::string ext : {".csv", ".txt", ".pcd", ".ply", ".las"}) {
        const CommandResult r = runVelaseg(dir, "house.pcd --no-viewer --planes planes.csv --labels labels" + ext);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(withoutTimes(r.out), withoutTimes(plain.out)) << ext;
        EXPECT_EQ(testsupport::readFile(dir.file("house_seg_VELA.xyz")), result) << ext;

        const Rows rows = readLabels(dir.file("labels" + ext));
        ASSERT_EQ(rows.points.size(), input.size()) << ext;
        ASSERT_EQ(rows.planes.size(), input.size()) << ext;
        for (std::size_t i = 0; i < input.size(); ++i) {
            if (ext == ".las") {
                // Float coordinates stored with a power-of-two scale: exact
                // except below 1/64 of the extent (the ground's noise).
                ASSERT_NEAR(rows.points[i].z, input[i].z, 2e-8) << i;
                ASSERT_NEAR(rows.points[i].x, input[i].x, 2e-8) << i;
            } else {
                ASSERT_TRUE(sameCoordinates(rows.points[i], input[i])) << ext << " row " << i;
            }
        }
        if (firstPlanes.empty()) firstPlanes = rows.planes;
        EXPECT_TRUE(rows.planes == firstPlanes) << ext << ": the same ids in every format";
        if (ext != ".las") expectPlanesMatchResult(rows, dir.file("house_seg_VELA.xyz"), planeCounts(dir.file("planes.csv")));
    }
    EXPECT_GT(std::count(firstPlanes.begin(), firstPlanes.end(), -1), 0);  // points of no plane are listed too
}

TEST(VelasegLabels, las_input_keeps_every_record_byte_and_declares_plane_id)
{
    TempDir dir;
    const velaseg::Scene scene = house(0.25, 4520000.0);
    writeHouseLas(dir.file("house.las"), scene, 3);
    const CommandResult text = runVelaseg(dir, "house.las --no-viewer --labels labels.csv --planes planes.csv");
    const CommandResult las = runVelaseg(dir, "house.las --no-viewer --labels labels.las");
    ASSERT_EQ(text.exitCode, 0) << text.err;
    ASSERT_EQ(las.exitCode, 0) << las.err;

    const LasLabels labels = parseLasLabels(dir.file("labels.las"));
    const LasLabels input = [&] {
        LasLabels l;
        const std::string file = testsupport::readFile(dir.file("house.las"));
        l.recordLength = at<std::uint16_t>(file, 105);
        const std::size_t data = at<std::uint32_t>(file, 96);
        for (std::size_t i = 0; i < scene.points.size(); ++i) l.records.push_back(file.substr(data + i * l.recordLength, l.recordLength));
        return l;
    }();
    EXPECT_EQ(labels.versionMinor, 4);
    EXPECT_EQ(labels.format, 3);
    EXPECT_EQ(labels.recordLength, input.recordLength + 4);
    EXPECT_EQ(labels.count, scene.points.size());
    EXPECT_EQ(labels.descriptors, "0:,6:PlaneId,");  // the input's 3 bytes stay, undocumented
    EXPECT_EQ(labels.offset[0], 4520000.0);
    EXPECT_EQ(labels.scale[0], 0.001);

    const Rows csv = readText(dir.file("labels.csv"));
    ASSERT_EQ(labels.planeIds.size(), csv.planes.size());
    for (std::size_t i = 0; i < labels.records.size(); ++i) {
        ASSERT_EQ(labels.planeIds[i], csv.planes[i]) << i;
        // Every byte stays but the colour (28..33 in format 3) of a plane's point.
        std::string expected = input.records[i];
        const std::string& got = labels.records[i];
        if (csv.planes[i] > 0) expected.replace(28, 6, got.substr(28, 6));
        ASSERT_EQ(got.substr(0, input.recordLength), expected) << i;
        if (csv.planes[i] > 0) {
            ASSERT_EQ(got[28], got[29]) << "8-bit colour widened as v * 257";
        }
    }
    const std::vector<SVPoint3d> before = readLas(dir.file("house.las"));
    const std::vector<SVPoint3d> after = readLas(dir.file("labels.las"));
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) ASSERT_TRUE(sameCoordinates(after[i], before[i])) << i;
    Rows rows{after, labels.planeIds};
    expectPlanesMatchResult(rows, dir.file("house_seg_VELA.xyz"), planeCounts(dir.file("planes.csv")));
}

TEST(VelasegLabels, non_finite_rows_of_an_organised_pcd_are_listed_with_no_plane)
{
    TempDir dir;
    pcl::PointCloud<pcl::PointXYZ> grid;
    for (int i = 0; i < 40; ++i)
        for (int j = 0; j < 40; ++j)
            grid.push_back((i * 40 + j) % 7 == 3 ? pcl::PointXYZ(NAN, NAN, NAN) : pcl::PointXYZ(i * 0.05f, j * 0.05f, 0.0f));
    grid.width = 40;
    grid.height = 40;
    grid.is_dense = false;
    ASSERT_EQ(pcl::io::savePCDFileBinary(dir.file("grid.pcd"), grid), 0);
    const CommandResult csv = runVelaseg(dir, "grid.pcd --no-viewer --labels labels.csv");
    const CommandResult las = runVelaseg(dir, "grid.pcd --no-viewer --labels labels.las");
    ASSERT_EQ(csv.exitCode, 0) << csv.err;
    ASSERT_EQ(las.exitCode, 0) << las.err;
    const Rows rows = readText(dir.file("labels.csv"));
    const LasLabels labels = parseLasLabels(dir.file("labels.las"));
    ASSERT_EQ(rows.points.size(), 1600u);
    ASSERT_EQ(labels.planeIds.size(), 1600u);
    EXPECT_EQ(labels.format, 7);
    for (std::size_t i = 0; i < 1600; ++i) {
        const bool hole = i % 7 == 3;
        EXPECT_EQ(std::isnan(rows.points[i].x), hole) << i;
        if (hole) {
            EXPECT_EQ(rows.planes[i], -1) << i;
            EXPECT_EQ(labels.planeIds[i], -1) << i;
            EXPECT_EQ(labels.records[i][15] & 0x04, 0x04) << "withheld: it has no position";
        } else {
            EXPECT_EQ(rows.planes[i], 1) << i;  // one plane, all of it
            EXPECT_EQ(labels.planeIds[i], 1) << i;
        }
    }
}

// The house's true planes against their records: the normal within 0.1
// degree, and the offset within 1 mm where the plane is (at the centroid of
// its true points): far from the origin, a tilt of a few thousandths of a
// degree, well within the noise, moves d itself by millimetres (and at
// x = 4 520 000 by metres) without moving the plane where it lies.
void expectTruePlanes(double originX)
{
    TempDir dir;
    const velaseg::Scene scene = house(0.1, originX);
    writeHouseLas(dir.file("house.las"), scene);
    const CommandResult r = runVelaseg(dir, "house.las --no-viewer --labels labels.csv --planes planes.json");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const Rows rows = readText(dir.file("labels.csv"));
    const nlohmann::json planes = nlohmann::json::parse(testsupport::readFile(dir.file("planes.json")))["planes"];
    std::size_t total = 0;
    for (const nlohmann::json& p : planes) total += p["points"].get<std::size_t>();
    EXPECT_EQ(total, resultPoints(dir.file("house_seg_VELA.xyz")).size());

    for (const velaseg::ScenePlane& truth : scene.planes) {
        std::map<int, std::size_t> votes;
        for (std::size_t i = truth.first; i < truth.first + truth.count; ++i) ++votes[rows.planes[i]];
        const int id = std::max_element(votes.begin(), votes.end(), [](auto& a, auto& b) { return a.second < b.second; })->first;
        ASSERT_GT(id, 0) << truth.name;
        const nlohmann::json& plane = planes.at(static_cast<std::size_t>(id - 1))["plane"];
        const double n[3] = {plane["a"], plane["b"], plane["c"]};
        double dot = n[0] * truth.a + n[1] * truth.b + n[2] * truth.c;
        const double sign = dot < 0 ? -1.0 : 1.0;
        EXPECT_LE(std::acos(std::min(1.0, std::fabs(dot))) * 180.0 / M_PI, 0.1) << truth.name;
        double centre[3] = {0.0, 0.0, 0.0};
        for (std::size_t i = truth.first; i < truth.first + truth.count; ++i) {
            centre[0] += (scene.points[i].x - scene.points[truth.first].x) / static_cast<double>(truth.count);
            centre[1] += (scene.points[i].y - scene.points[truth.first].y) / static_cast<double>(truth.count);
            centre[2] += (scene.points[i].z - scene.points[truth.first].z) / static_cast<double>(truth.count);
        }
        centre[0] += scene.points[truth.first].x;
        centre[1] += scene.points[truth.first].y;
        centre[2] += scene.points[truth.first].z;
        const double mine = sign * (n[0] * centre[0] + n[1] * centre[1] + n[2] * centre[2] + plane["d"].get<double>());
        const double theirs = truth.a * centre[0] + truth.b * centre[1] + truth.c * centre[2] + truth.d;
        EXPECT_LE(std::fabs(mine - theirs), 0.001) << truth.name;
    }
}

TEST(VelasegPlanes, records_match_the_true_planes_of_the_house)
{
    expectTruePlanes(0.0);
}

TEST(VelasegPlanes, records_match_the_true_planes_at_map_coordinates)
{
    expectTruePlanes(4520000.0);
}

TEST(VelasegInputs, text_and_ply_inputs_give_the_result_of_the_same_points_as_pcd)
{
    TempDir dir;
    ASSERT_TRUE(velaseg::writeScenePcd(dir.file("house.pcd"), house(0.25).points));
    ASSERT_EQ(runVelaseg(dir, "house.pcd --no-viewer --labels house.ply").exitCode, 0);
    std::string text = "# x y z\n";
    const Rows rows = readThroughPcl(dir.file("house.ply"), "plane", false);
    for (const SVPoint3d& p : rows.points) {
        char line[128];
        std::snprintf(line, sizeof line, "%.17g,%.17g,%.17g\n", p.x, p.y, p.z);
        text += line;
    }
    testsupport::writeFile(dir.file("house.txt"), text);
    testsupport::writeFile(dir.file("house.xyz"), text);
    const std::string expected = testsupport::readFile(dir.file("house_seg_VELA.xyz"));
    for (const std::string type : {"ply", "txt", "xyz"}) {
        fs::remove(dir.file("house_seg_VELA.xyz"));
        const CommandResult r = runVelaseg(dir, "house." + type + " --no-viewer");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out.rfind("input file type: " + type + "\nthe total number of points is: " +
                                  std::to_string(rows.points.size()) + "\n", 0), 0u) << r.out;
        EXPECT_EQ(testsupport::readFile(dir.file("house_seg_VELA.xyz")), expected) << type;
    }
}

// The LAS labels of a compressed input carry the very records of its
// uncompressed twin, and the run prints what the twin's run prints.
TEST(VelasegInputs, a_laz_input_labels_the_records_of_its_uncompressed_twin)
{
    const std::string laz = testsupport::sharedDataFile("laz/simple.laz");
    const std::string las = testsupport::sharedDataFile("laz/simple.las");
    if (laz.empty() || las.empty()) GTEST_SKIP() << "laz/simple.laz and its twin not found in the shared data folder";
    TempDir dir;
    fs::copy_file(laz, dir.file("scan.laz"));
    fs::copy_file(las, dir.file("twin.las"));
    const CommandResult fromLaz = runVelaseg(dir, "scan.laz --no-viewer --labels scan_labels.las");
    const CommandResult fromLas = runVelaseg(dir, "twin.las --no-viewer --labels twin_labels.las");
    ASSERT_EQ(fromLaz.exitCode, 0) << fromLaz.err;
    ASSERT_EQ(fromLas.exitCode, 0) << fromLas.err;
    std::string expectedOut = withoutTimes(fromLas.out);
    expectedOut.replace(expectedOut.find("input file type: las"), 20, "input file type: laz");
    EXPECT_EQ(withoutTimes(fromLaz.out), expectedOut);

    auto records = [](const std::string& file, velaseg::LasHeader& header) {
        std::string bytes;
        EXPECT_EQ(velaseg::readLasRecords(file, velaseg::LasFields::all, header,
                                          [&](const std::uint8_t* r, std::size_t n) {
                                              bytes.append(reinterpret_cast<const char*>(r), n * header.recordLength);
                                          }),
                  velaseg::LasReadStatus::read);
        return bytes;
    };
    velaseg::LasHeader a, b;
    const std::string fromLazRecords = records(dir.file("scan_labels.las"), a);
    const std::string fromLasRecords = records(dir.file("twin_labels.las"), b);
    EXPECT_FALSE(a.compressed);
    EXPECT_EQ(a.pointFormat, b.pointFormat);
    EXPECT_GT(fromLasRecords.size(), 0u);
    EXPECT_TRUE(fromLazRecords == fromLasRecords);
}

TEST(VelasegFailures, an_input_that_cannot_be_read_leaves_every_earlier_output_as_it_was)
{
    TempDir dir;
    testsupport::writeFile(dir.file("scan.las"), "LASF but far too short");
    testsupport::writeFile(dir.file("scan.xyz"), "1 2 3\n4 5\n");
    const std::string earlier = "1 \t2 \t3 \t4 \t5 \t6 \t\n";
    testsupport::writeFile(dir.file("scan_seg_VELA.xyz"), earlier);
    testsupport::writeFile(dir.file("labels.csv"), "earlier labels");
    const std::vector<std::string> before = entries(dir.path());
    for (const std::string input : {"scan.las", "scan.xyz", "scan.pcd"}) {
        const CommandResult r = runVelaseg(dir, input + " --labels labels.csv --planes planes.json");
        EXPECT_EQ(r.exitCode, 2) << input;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(testsupport::readFile(dir.file("scan_seg_VELA.xyz")), earlier) << input;
        EXPECT_EQ(testsupport::readFile(dir.file("labels.csv")), "earlier labels") << input;
        std::vector<std::string> now = entries(dir.path());
        now.erase(std::remove_if(now.begin(), now.end(), [](const std::string& n) { return n[0] == '.'; }), now.end());
        EXPECT_EQ(now, before) << input;
    }
}

TEST(VelasegFailures, an_unwritable_folder_fails_that_output_only_with_3)
{
    TempDir dir;
    ASSERT_TRUE(velaseg::writeScenePcd(dir.file("house.pcd"), house(0.5).points));
    testsupport::writeFile(dir.file("plain"), "a file where a folder should be");
    const CommandResult r = runVelaseg(dir, "house.pcd --no-viewer --labels plain/labels.csv --planes planes.csv");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("velaseg: could not write the labels plain/labels.csv: Not a directory; "
                         "any earlier file of that name is kept\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("Total time is: "), std::string::npos);
    EXPECT_GT(fs::file_size(dir.file("house_seg_VELA.xyz")), 0u);
    EXPECT_GT(fs::file_size(dir.file("planes.csv")), 0u);
}

// A small tmpfs in a mount namespace of its own (root only): the outputs
// meet a full or a read-only device as a user's would.
CommandResult runOnSmallDevice(const TempDir& dir, const std::string& setUp, const std::string& args)
{
    fs::create_directory(dir.file("mnt"));
    const std::string script = "mount -t tmpfs -o size=256k tmpfs mnt || exit 77; cp house.pcd mnt/; " + setUp + "; '" +
                               clisupport::kBinDir + "/velaseg' " + args + "; echo \\$? >rc; ls -a mnt >listing; " +
                               "cat mnt/house_seg_VELA.xyz >kept 2>/dev/null; true";
    CommandResult r = testsupport::runCommand(
        "cd '" + dir.path().string() + "' && env -u DISPLAY unshare -m sh -c \"" + script + "\"", dir);
    r.exitCode = r.exitCode == 77 ? 77 : std::atoi(testsupport::readFile(dir.file("rc")).c_str());
    return r;
}

TEST(VelasegFailures, a_full_device_keeps_the_earlier_result_and_leaves_no_partial_file)
{
    TempDir dir;
    ASSERT_TRUE(velaseg::writeScenePcd(dir.file("house.pcd"), house(0.2).points));
    const CommandResult r = runOnSmallDevice(dir, "printf earlier >mnt/house_seg_VELA.xyz", "mnt/house.pcd --no-viewer");
    if (r.exitCode == 77 || !fs::exists(dir.file("rc"))) GTEST_SKIP() << "no tmpfs can be mounted here";
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("velaseg: could not write the result file mnt/house_seg_VELA.xyz: No space left on device; "
                         "any earlier file of that name is kept\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(testsupport::readFile(dir.file("kept")), "earlier");
    EXPECT_EQ(testsupport::readFile(dir.file("listing")), ".\n..\nhouse.pcd\nhouse_seg_VELA.xyz\n");
}

TEST(VelasegFailures, a_read_only_device_is_named_as_such)
{
    TempDir dir;
    ASSERT_TRUE(velaseg::writeScenePcd(dir.file("house.pcd"), house(0.5).points));
    const CommandResult r = runOnSmallDevice(dir, "mount -o remount,ro mnt", "mnt/house.pcd --no-viewer");
    if (r.exitCode == 77 || !fs::exists(dir.file("rc"))) GTEST_SKIP() << "no tmpfs can be mounted here";
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("could not write the result file mnt/house_seg_VELA.xyz: Read-only file system"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(testsupport::readFile(dir.file("listing")), ".\n..\nhouse.pcd\n");
}
