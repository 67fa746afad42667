// PCD input: the points of a PCD file appended as colourless input records.
// The file is mapped and checked first (pcd_header.h); only a sound file
// reaches the library's reader, and then in pieces: the header text alone, so
// that no payload byte is ever taken for a header line, and the payload from
// the mapping.
#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>
#include <streambuf>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pcl/common/io.h>
#include <pcl/conversions.h>
#include <pcl/io/pcd_io.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "segmenter/pcd_header.h"
#include "vela_base_offset.h"
#include "vela_plane.h"

namespace vela {
namespace {

// A regular file mapped read-only; unmapped when it goes.
struct MappedFile {
    const char* bytes = nullptr;
    std::size_t size = 0;

    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile()
    {
        if (bytes != nullptr) munmap(const_cast<char*>(bytes), size);
    }
};

std::string kindOf(mode_t mode)
{
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

std::string mapRegularFile(const std::string& path, MappedFile& file)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return errno == ENOENT ? "no such file" : std::string("cannot be examined: ") + std::strerror(errno);
    // Opening a FIFO waits for a writer, and a directory or a device never
    // ends: only regular files are opened at all.
    if (!S_ISREG(info.st_mode)) return "not a regular file but " + kindOf(info.st_mode);
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::string("cannot be opened: ") + std::strerror(errno);
    // The name may point elsewhere by now.
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return "not a regular file";
    }
    if (info.st_size == 0) {
        close(fd);
        return "the file is empty";
    }
    const std::size_t size = static_cast<std::size_t>(info.st_size);
    void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    const int mapError = errno;
    close(fd);
    if (map == MAP_FAILED) return std::string("cannot be read: ") + std::strerror(mapError);
    file.bytes = static_cast<const char*>(map);
    file.size = size;
    return std::string();
}

// Memory read as a stream, for the library's ASCII reader.
struct MemoryBuffer : std::streambuf {
    MemoryBuffer(const char* begin, const char* end)
    {
        char* b = const_cast<char*>(begin);
        setg(b, b, const_cast<char*>(end));
    }
};

int pcdDataType(PcdData data)
{
    switch (data) {
    case PcdData::binary:
        return 1;
    case PcdData::binaryCompressed:
        return 2;
    case PcdData::ascii:
        break;
    }
    return 0;
}

// Whether the library understood the header as it was checked.
bool sameAsChecked(const pcl::PCLPointCloud2& blob, int dataType, unsigned int dataIndex, const PcdHeader& header)
{
    if (blob.width != header.width || blob.height != header.height || blob.point_step != header.pointStep ||
        blob.data.size() != header.points * header.pointStep || blob.fields.size() != header.fields.size() ||
        dataType != pcdDataType(header.data) || dataIndex != header.dataOffset)
        return false;
    for (std::size_t i = 0; i < header.fields.size(); ++i) {
        const pcl::PCLPointField& f = blob.fields[i];
        const PcdField& g = header.fields[i];
        if (f.name != g.name || f.offset != g.offset || f.count != g.count ||
            f.datatype != pcl::getFieldType(g.size, g.type))
            return false;
    }
    return true;
}

std::string readWithLibrary(const MappedFile& file, const PcdHeader& header, pcl::PointCloud<pcl::PointXYZRGB>& cloud)
{
    try {
        pcl::PCDReader reader;
        pcl::PCLPointCloud2 blob;
        Eigen::Vector4f origin;
        Eigen::Quaternionf orientation;
        int version = 0;
        int dataType = 0;
        unsigned int dataIndex = 0;
        std::istringstream headerText(std::string(file.bytes, header.dataOffset));
        if (reader.readHeader(headerText, blob, origin, orientation, version, dataType, dataIndex) != 0 ||
            !sameAsChecked(blob, dataType, dataIndex, header))
            return "the PCD library reads the header differently";
        int result;
        if (header.data == PcdData::ascii) {
            MemoryBuffer payload(file.bytes + header.dataOffset, file.bytes + file.size);
            std::istream in(&payload);
            result = reader.readBodyASCII(in, blob, version);
        } else {
            result = reader.readBodyBinary(reinterpret_cast<const unsigned char*>(file.bytes), blob, version,
                                           header.data == PcdData::binaryCompressed, dataIndex);
        }
        if (result != 0) return "the PCD library cannot read the points";
        // The library takes the row length from the record size known when
        // it met WIDTH, which a header may give before SIZE and COUNT.
        blob.row_step = blob.point_step * blob.width;
        pcl::fromPCLPointCloud2(blob, cloud);
    } catch (const std::exception& e) {
        cloud.clear();
        return std::string("the PCD library failed: ") + e.what();
    }
    return std::string();
}

// The cloud of a sound PCD file; otherwise why it cannot be read, with the
// cloud left empty.
std::string readPcdFile(const std::string& path, pcl::PointCloud<pcl::PointXYZRGB>& cloud)
{
    MappedFile file;
    std::string problem = mapRegularFile(path, file);
    if (!problem.empty()) return problem;
    const PcdHeader header = readPcdHeader(file.bytes, file.size);
    if (!header.problem.empty()) return header.problem;
    problem = pcdPayloadProblem(header, file.bytes, file.size);
    if (!problem.empty() || header.points == 0) return problem;
    return readWithLibrary(file, header, cloud);
}

}  // namespace
}  // namespace vela

namespace VELA {

namespace {

// Both set_points overloads; `skipped` may be null. False when the file could
// not be read.
bool readPcdPoints(const std::string& file_name, std::vector<SVPoint3d>& points,
                   std::vector<tag_SkippedPoint>* skippedRows)
{
    pcl::PointCloud<pcl::PointXYZRGB>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZRGB>);
    // A refused file leaves the cloud empty.
    const std::string problem = vela::readPcdFile(file_name, *cloud);
    if (!problem.empty())
        std::cerr << "set_points: " << file_name << ": " << problem << "; no points read" << std::endl;
    const bool read = problem.empty();

    std::size_t skipped = 0;
    points.reserve(points.size() + cloud->points.size());
    for (std::size_t row = 0; row < cloud->points.size(); ++row) {
        const pcl::PointXYZRGB& p = cloud->points[row];
        SVPoint3d sp(p.x, p.y, p.z);  // the file's colour is not carried over
        // Organised clouds mark missing pixels with NaN; such points cannot be
        // searched or fitted, so they never enter the vector.
        if (!vela::isFinitePoint(sp)) {
            ++skipped;
            if (skippedRows) skippedRows->push_back(tag_SkippedPoint{row, sp});
            continue;
        }
        points.push_back(sp);
    }
    if (skipped > 0)
        std::cerr << "set_points: " << file_name << ": skipped " << skipped
                  << " points with non-finite coordinates" << std::endl;

    std::cout << "the total number of points is: " << points.size() << std::endl;
    return read;
}

}  // namespace

bool VELA_Plane::set_points(std::string file_name, std::vector<SVPoint3d>& points)
{
    readPcdPoints(file_name, points, nullptr);
    return true;
}

bool VELA_Plane::set_points(std::string file_name, std::vector<SVPoint3d>& points,
                            std::vector<tag_SkippedPoint>& skipped)
{
    return readPcdPoints(file_name, points, &skipped);
}

}  // namespace VELA
