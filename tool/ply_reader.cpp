#include "ply_reader.h"

#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include <pcl/io/ply_io.h>

namespace velaseg {
namespace {

// A header longer than this is not a point cloud's.
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

std::size_t plyTypeSize(const std::string& type)
{
    static const std::map<std::string, std::size_t> sizes = {
        {"char", 1}, {"uchar", 1}, {"int8", 1}, {"uint8", 1}, {"short", 2}, {"ushort", 2}, {"int16", 2},
        {"uint16", 2}, {"int", 4}, {"uint", 4}, {"int32", 4}, {"uint32", 4}, {"float", 4}, {"float32", 4},
        {"double", 8}, {"float64", 8}};
    const auto found = sizes.find(type);
    return found == sizes.end() ? 0 : found->second;
}

struct PlyElement {
    std::string name;
    std::uint64_t count = 0;
    std::size_t leastBytes = 0;  // of one item: a list may be empty
    std::size_t properties = 0;
    std::map<std::string, std::string> scalarTypes;
};

bool parseCount(const std::string& text, std::uint64_t& count)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) return false;
    count = std::stoull(text);
    return true;
}

// The elements of a header, or the reason it cannot be read.
std::string parseHeader(const std::string& header, std::string& format, std::vector<PlyElement>& elements)
{
    std::istringstream lines(header);
    std::string line;
    if (!std::getline(lines, line) || (line != "ply" && line != "ply\r")) return "no \"ply\" signature";
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string word;
        words >> word;
        if (word == "format") {
            words >> format;
        } else if (word == "element") {
            PlyElement element;
            std::string count;
            words >> element.name >> count;
            if (!parseCount(count, element.count)) return "element " + element.name + " has no count";
            elements.push_back(element);
        } else if (word == "property") {
            if (elements.empty()) return "a property before any element";
            PlyElement& element = elements.back();
            std::string type;
            std::string name;
            words >> type;
            if (type == "list") {
                std::string countType;
                std::string itemType;
                words >> countType >> itemType >> name;
                if (plyTypeSize(countType) == 0 || plyTypeSize(itemType) == 0) return "property " + name + ": unknown type";
                element.leastBytes += plyTypeSize(countType);
            } else {
                words >> name;
                if (plyTypeSize(type) == 0) return "property " + name + ": unknown type " + type;
                element.leastBytes += plyTypeSize(type);
                element.scalarTypes[name] = type;
            }
            ++element.properties;
        }
    }
    if (format != "ascii" && format != "binary_little_endian" && format != "binary_big_endian")
        return "unknown format \"" + format + "\"";
    return "";
}

bool isFloatType(const std::string& type)
{
    return type == "float" || type == "float32" || type == "double" || type == "float64";
}

// The header up to and including its "end_header" line; empty when there is
// none within kMaxHeaderBytes.
std::string readHeader(std::ifstream& in)
{
    std::string header;
    std::string line;
    while (header.size() < kMaxHeaderBytes && std::getline(in, line)) {
        header += line;
        header += '\n';
        if (line == "end_header" || line == "end_header\r") return header;
    }
    return "";
}

template <typename T>
T valueAt(const std::uint8_t* at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

double coordinateAt(const std::uint8_t* at, std::uint8_t datatype)
{
    return datatype == pcl::PCLPointField::FLOAT64 ? valueAt<double>(at) : static_cast<double>(valueAt<float>(at));
}

const pcl::PCLPointField* fieldNamed(const pcl::PCLPointCloud2& cloud, const std::string& name)
{
    for (const pcl::PCLPointField& f : cloud.fields)
        if (f.name == name) return &f;
    return nullptr;
}

}  // namespace

std::string plyHeaderProblem(const std::string& header, std::uint64_t bodyBytes)
{
    std::string format;
    std::vector<PlyElement> elements;
    const std::string problem = parseHeader(header, format, elements);
    if (!problem.empty()) return problem;

    const PlyElement* vertex = nullptr;
    for (const PlyElement& e : elements)
        if (e.name == "vertex") vertex = &e;
    if (vertex == nullptr) return "no vertex element";
    for (const char* axis : {"x", "y", "z"}) {
        const auto found = vertex->scalarTypes.find(axis);
        if (found == vertex->scalarTypes.end() || !isFloatType(found->second))
            return std::string("the vertices have no float or double ") + axis;
    }
    // Every item needs its least bytes in binary, and in text at least one
    // digit and one separator per property.
    const bool text = format == "ascii";
    long double needed = 0;
    for (const PlyElement& e : elements)
        needed += static_cast<long double>(e.count) * (text ? 2.0L * e.properties : e.leastBytes);
    if (text && needed > 0) needed -= 1;  // the last value needs no separator
    if (needed > static_cast<long double>(bodyBytes)) {
        std::ostringstream reason;
        reason << "the header declares " << vertex->count << " vertices";
        if (elements.size() > 1) reason << " and further elements";
        reason << ", more than the " << bodyBytes << " bytes after it can hold";
        return reason.str();
    }
    return "";
}

bool appendCloudPoints(const pcl::PCLPointCloud2& cloud, std::vector<VELA::SVPoint3d>& points, bool& hasColour,
                       std::string& problem)
{
    const pcl::PCLPointField* axes[3] = {fieldNamed(cloud, "x"), fieldNamed(cloud, "y"), fieldNamed(cloud, "z")};
    for (const pcl::PCLPointField* f : axes) {
        if (f == nullptr ||
            (f->datatype != pcl::PCLPointField::FLOAT32 && f->datatype != pcl::PCLPointField::FLOAT64)) {
            problem = "no float or double x, y and z";
            return false;
        }
    }
    const pcl::PCLPointField* packed = fieldNamed(cloud, "rgb");
    if (packed == nullptr) packed = fieldNamed(cloud, "rgba");
    const pcl::PCLPointField* channels[3] = {fieldNamed(cloud, "red"), fieldNamed(cloud, "green"),
                                             fieldNamed(cloud, "blue")};
    const bool separate = channels[0] && channels[1] && channels[2];

    const std::uint64_t count = std::uint64_t(cloud.width) * cloud.height;
    const std::size_t step = cloud.point_step;
    std::size_t needs = 0;  // bytes of a point the fields reach into
    for (const pcl::PCLPointField* f : axes) needs = std::max<std::size_t>(needs, f->offset + pcl::getFieldSize(f->datatype));
    if (packed) needs = std::max<std::size_t>(needs, packed->offset + 4);
    if (separate)
        for (const pcl::PCLPointField* f : channels) needs = std::max<std::size_t>(needs, f->offset + 1);
    if (needs > step || count > cloud.data.size() / std::max<std::size_t>(step, 1)) {
        problem = "the point data is shorter than its fields";
        return false;
    }

    points.reserve(points.size() + count);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint8_t* point = cloud.data.data() + i * step;
        VELA::SVPoint3d p(coordinateAt(point + axes[0]->offset, axes[0]->datatype),
                          coordinateAt(point + axes[1]->offset, axes[1]->datatype),
                          coordinateAt(point + axes[2]->offset, axes[2]->datatype));
        if (packed) {
            const std::uint32_t rgb = valueAt<std::uint32_t>(point + packed->offset);
            p.r = static_cast<std::uint8_t>(rgb >> 16);
            p.g = static_cast<std::uint8_t>(rgb >> 8);
            p.b = static_cast<std::uint8_t>(rgb);
        } else if (separate) {
            p.r = point[channels[0]->offset];
            p.g = point[channels[1]->offset];
            p.b = point[channels[2]->offset];
        }
        points.push_back(p);
    }
    hasColour = packed != nullptr || separate;
    return true;
}

bool readPlyFile(const std::string& fileName, std::vector<VELA::SVPoint3d>& points, bool& hasColour)
{
    auto refuse = [&](const std::string& reason) {
        std::cerr << "ply reader: " << fileName << ": " << reason << "; nothing is read" << std::endl;
        return false;
    };
    std::ifstream in(fileName, std::ios::binary);
    if (!in) return refuse("the file cannot be opened for reading");
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    const std::string header = readHeader(in);
    if (header.empty()) return refuse("no PLY header (\"ply\" ... \"end_header\")");
    const std::string problem = plyHeaderProblem(header, static_cast<std::uint64_t>(size) - header.size());
    if (!problem.empty()) return refuse(problem);

    pcl::PCLPointCloud2 cloud;
    try {
        pcl::PLYReader reader;
        Eigen::Vector4f origin;
        Eigen::Quaternionf orientation;
        int version = 0;
        if (reader.read(fileName, cloud, origin, orientation, version, 0) < 0)
            return refuse("PCL's PLY reader could not read it");
    } catch (const std::exception& e) {
        return refuse(std::string("PCL's PLY reader failed: ") + e.what());
    }
    std::string why;
    if (!appendCloudPoints(cloud, points, hasColour, why)) return refuse(why);
    std::cout << "the total number of points is: " << points.size() << std::endl;
    return true;
}

}  // namespace velaseg
