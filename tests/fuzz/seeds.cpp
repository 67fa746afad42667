#include "fuzz/seeds.h"

#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <utility>

#include <unistd.h>

#include <pcl/io/pcd_io.h>
#include <pcl/io/ply_io.h>
#include <pcl/point_types.h>

#include "las_reader.h"
#include "las_writer.h"
#include "sample_scene.h"

namespace fuzz {
namespace {

// A few hundred points: enough for every stage to find planes, few enough
// for a run per input to take milliseconds.
std::vector<VELA::SVPoint3d> house(double originX, double originY, double originZ)
{
    velaseg::SceneOptions options;
    options.spacing = 1.5;
    options.originX = originX;
    options.originY = originY;
    options.originZ = originZ;
    return velaseg::makeBuildingScene(options).points;
}

// The writers write files; the seeds are their bytes.
template <typename Write>
std::string bytesWritten(const std::string& extension, Write write)
{
    char path[] = "/tmp/velaseg-fuzz-seed-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return std::string();
    close(fd);
    const std::string file = std::string(path) + extension;
    std::string bytes;
    if (write(file)) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        bytes = text.str();
    }
    std::remove(file.c_str());
    std::remove(path);
    return bytes;
}

Seed seedOf(const std::string& name, InputKind kind, std::string bytes)
{
    Seed seed;
    seed.name = name;
    seed.kind = kind;
    seed.bytes = std::move(bytes);
    return seed;
}

Seed lasSeed(const std::string& name, const std::vector<VELA::SVPoint3d>& points, const velaseg::LasWriteOptions& options)
{
    Seed seed = seedOf(name, InputKind::las, bytesWritten(".las", [&](const std::string& file) {
                           return velaseg::writeLasFile(file, points, options);
                       }));
    const velaseg::LasHeader header =
        velaseg::decodeLasHeader(reinterpret_cast<const std::uint8_t*>(seed.bytes.data()), seed.bytes.size());
    seed.fields = {{94, 2, false}, {96, 4, false}, {104, 1, false}, {105, 2, false}, {107, 4, false}};
    for (std::size_t at = 131; at < 227; at += 8) seed.fields.push_back({at, 8, true});  // scale, offset, box
    if (header.versionMinor >= 4) seed.fields.push_back({247, 8, false});
    // Coordinates of the first records and of the last one.
    const std::size_t last = header.pointCount > 0 ? static_cast<std::size_t>(header.pointCount) - 1 : 0;
    for (std::size_t record : {std::size_t(0), std::size_t(1), std::size_t(2), last})
        for (std::size_t axis = 0; axis < 3; ++axis)
            seed.fields.push_back({header.pointDataOffset + record * header.recordLength + 4 * axis, 4, false});
    return seed;
}

std::size_t afterDataLine(const std::string& bytes)
{
    const std::size_t data = bytes.find("\nDATA ");
    const std::size_t end = data == std::string::npos ? std::string::npos : bytes.find('\n', data + 1);
    return end == std::string::npos ? bytes.size() : end + 1;
}

template <typename PointT>
Seed pcdSeed(const std::string& name, const pcl::PointCloud<PointT>& cloud, int encoding)
{
    Seed seed = seedOf(name, InputKind::pcd, bytesWritten(".pcd", [&](const std::string& file) {
                           pcl::PCDWriter writer;
                           const int result = encoding == 0   ? writer.writeASCII(file, cloud)
                                              : encoding == 1 ? writer.writeBinary(file, cloud)
                                                              : writer.writeBinaryCompressed(file, cloud);
                           return result == 0;
                       }));
    const std::size_t payload = afterDataLine(seed.bytes);
    seed.textBytes = encoding == 0 ? seed.bytes.size() : payload;
    if (encoding == 1)
        for (std::size_t at = payload; at < payload + 48 && at + 4 <= seed.bytes.size(); at += 4)
            seed.fields.push_back({at, 4, true});
    if (encoding == 2) seed.fields = {{payload, 4, false}, {payload + 4, 4, false}};
    return seed;
}

pcl::PointCloud<pcl::PointXYZ> asCloud(const std::vector<VELA::SVPoint3d>& points)
{
    pcl::PointCloud<pcl::PointXYZ> cloud;
    for (const VELA::SVPoint3d& p : points)
        cloud.points.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z));
    cloud.width = static_cast<std::uint32_t>(cloud.points.size());
    cloud.height = 1;
    return cloud;
}

// An organised cloud with colour and missing pixels.
pcl::PointCloud<pcl::PointXYZRGB> organised(const std::vector<VELA::SVPoint3d>& points)
{
    pcl::PointCloud<pcl::PointXYZRGB> cloud;
    cloud.width = 16;
    cloud.height = static_cast<std::uint32_t>(points.size() / 16);
    cloud.is_dense = false;
    for (std::size_t i = 0; i < std::size_t(cloud.width) * cloud.height; ++i) {
        pcl::PointXYZRGB p(static_cast<std::uint8_t>(i), 100, 200);
        const float nan = std::numeric_limits<float>::quiet_NaN();
        p.x = i % 9 == 0 ? nan : static_cast<float>(points[i].x);
        p.y = i % 9 == 0 ? nan : static_cast<float>(points[i].y);
        p.z = i % 9 == 0 ? nan : static_cast<float>(points[i].z);
        cloud.points.push_back(p);
    }
    return cloud;
}

Seed plySeed(const std::string& name, const pcl::PointCloud<pcl::PointXYZRGB>& cloud, bool binary)
{
    Seed seed = seedOf(name, InputKind::ply, bytesWritten(".ply", [&](const std::string& file) {
                           return (binary ? pcl::io::savePLYFileBinary(file, cloud)
                                          : pcl::io::savePLYFileASCII(file, cloud)) == 0;
                       }));
    const std::size_t end = seed.bytes.find("end_header\n");
    const std::size_t body = end == std::string::npos ? seed.bytes.size() : end + 11;
    seed.textBytes = binary ? body : seed.bytes.size();
    if (binary)
        for (std::size_t at = body; at < body + 48 && at + 4 <= seed.bytes.size(); at += 4)
            seed.fields.push_back({at, 4, true});
    return seed;
}

// Text points as other programs write them: blanks or commas, colour or
// not, comments.
Seed xyzSeed(const std::string& name, const std::vector<VELA::SVPoint3d>& points, bool commasAndColour)
{
    std::ostringstream text;
    text.precision(17);
    text << "# house\n";
    for (std::size_t i = 0; i < points.size(); ++i) {
        const VELA::SVPoint3d& p = points[i];
        if (commasAndColour)
            text << p.x << "," << p.y << "," << p.z << "," << i % 256 << "," << 128 << "," << 255 - i % 256 << "\n";
        else
            text << p.x << " " << p.y << "\t" << p.z << "\n";
    }
    Seed seed = seedOf(name, InputKind::xyz, text.str());
    seed.textBytes = seed.bytes.size();
    return seed;
}

Seed iniSeed(const std::string& name, const std::string& text)
{
    Seed seed = seedOf(name, InputKind::ini, text);
    seed.textBytes = text.size();
    return seed;
}

}  // namespace

std::vector<VELA::SVPoint3d> seedScene() { return house(0, 0, 0); }

std::vector<Seed> makeSeeds()
{
    const std::vector<VELA::SVPoint3d> local = house(0, 0, 0);
    const std::vector<VELA::SVPoint3d> mapped = house(452000.25, 5300000.5, 210.0);
    std::vector<Seed> seeds;

    velaseg::LasWriteOptions plain;
    seeds.push_back(lasSeed("house_1.2_format3.las", local, plain));
    velaseg::LasWriteOptions map;
    map.versionMinor = 4;
    map.pointFormat = 7;
    map.scale[0] = map.scale[1] = map.scale[2] = 0.01;
    map.offset[0] = 452000;
    map.offset[1] = 5300000;
    map.offset[2] = 200;
    seeds.push_back(lasSeed("map_1.4_format7.las", mapped, map));
    velaseg::LasWriteOptions old;
    old.versionMinor = 0;
    old.pointFormat = 0;
    old.extraBytes = 3;
    seeds.push_back(lasSeed("house_1.0_format0_extra.las", local, old));

    const pcl::PointCloud<pcl::PointXYZ> cloud = asCloud(local);
    seeds.push_back(pcdSeed("house_ascii.pcd", cloud, 0));
    seeds.push_back(pcdSeed("house_binary.pcd", cloud, 1));
    seeds.push_back(pcdSeed("house_compressed.pcd", cloud, 2));
    seeds.push_back(pcdSeed("organised_rgb_binary.pcd", organised(local), 1));

    const pcl::PointCloud<pcl::PointXYZRGB> coloured = organised(local);
    seeds.push_back(plySeed("house_ascii.ply", coloured, false));
    seeds.push_back(plySeed("house_binary.ply", coloured, true));
    seeds.push_back(xyzSeed("map_blanks.xyz", mapped, false));
    seeds.push_back(xyzSeed("house_commas_colour.xyz", local, true));

    seeds.push_back(iniSeed("every_key.ini", "[PARA]\nkappa=30\nphic=0.05\ntau=0.1\nepsilon=0\ngamma=0.5\n"
                                             "delta=0.05\nphid=0.1\ntheta=10\n"));
    seeds.push_back(iniSeed("derived_and_empty.ini", "; comment\n[para]\n  kappa = 12 \ndelta=\nphid=\ntau=0.3\n"));
    seeds.push_back(iniSeed("two_sections.ini", "[OTHER]\nkappa=5\n\n[PARA]\r\ntheta=25\r\ngamma=2\r\n# end\r\n"));
    return seeds;
}

}  // namespace fuzz
