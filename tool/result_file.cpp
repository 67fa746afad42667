#include "result_file.h"

#include <charconv>

#include "atomic_file.h"
#include "vela_base_offset.h"

namespace velaseg {

std::string resultFileName(const std::string& pcFile)
{
    const std::size_t slash = pcFile.find_last_of('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = pcFile.find_last_of('.');
    // A dot in a directory name is not an extension: the result must stay in
    // the input's own directory.
    const std::string stem =
        (dot == std::string::npos || dot < nameStart) ? pcFile : pcFile.substr(0, dot);
    return stem + "_seg_VELA" + ".xyz";
}

namespace {

// The text a stream with precision 20 and no format flags gives ("%.20g"),
// without the stream's per-number overhead.
void appendCoordinate(std::string& line, double v)
{
    char text[64];  // "%.20g" needs at most 27 characters
    line.append(text, std::to_chars(text, text + sizeof text, v, std::chars_format::general, 20).ptr);
    line += " \t";
}

void appendChannel(std::string& line, std::uint8_t v)
{
    char text[8];
    line.append(text, std::to_chars(text, text + sizeof text, static_cast<int>(v)).ptr);
    line += " \t";
}

}  // namespace

void appendResultLine(std::string& text, const VELA::SVPoint3d& p)
{
    appendCoordinate(text, p.x);
    appendCoordinate(text, p.y);
    appendCoordinate(text, p.z);
    appendChannel(text, p.r);
    appendChannel(text, p.g);
    appendChannel(text, p.b);
    text += '\n';
}

bool writeResultFile(const std::string& fileName, const Planes& planes, std::string& error)
{
    AtomicFile out(fileName);
    std::string block;
    block.reserve(1 << 16);
    for (const auto& plane : planes) {
        for (const VELA::SVPoint3d& p : plane) {
            appendResultLine(block, p);
            if (block.size() > (1 << 16) - 256) {
                out.write(block);
                block.clear();
            }
        }
    }
    out.write(block);
    if (out.commit()) return true;
    error = out.error();
    return false;
}

pcl::PointCloud<pcl::PointXYZRGB>::Ptr makeViewerCloud(const Planes& planes)
{
    vela::BaseOffset offset;
    if (!planes.empty() && !planes[0].empty()) offset = vela::baseOffsetOf(planes[0][0]);

    pcl::PointCloud<pcl::PointXYZRGB>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZRGB>);
    for (const auto& plane : planes) {
        for (const VELA::SVPoint3d& p : plane) {
            pcl::PointXYZRGB v;
            v.x = vela::shifted(p.x, offset.x);
            v.y = vela::shifted(p.y, offset.y);
            v.z = vela::shifted(p.z, offset.z);
            v.r = p.r;
            v.g = p.g;
            v.b = p.b;
            v.a = 255;
            cloud->push_back(v);
        }
    }
    return cloud;
}

}  // namespace velaseg
