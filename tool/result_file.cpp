#include "result_file.h"

#include <algorithm>

#include "atomic_file.h"
#include "decimal_text.h"
#include "ordered_blocks.h"
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

// What a stream with no format flags writes for an 8-bit channel.
char* writeChannel(char* out, unsigned v)
{
    if (v >= 100) {
        *out++ = static_cast<char>('0' + v / 100);
        v %= 100;
        *out++ = static_cast<char>('0' + v / 10);
    } else if (v >= 10) {
        *out++ = static_cast<char>('0' + v / 10);
    }
    *out++ = static_cast<char>('0' + v % 10);
    return out;
}

char* separated(char* out)
{
    *out++ = ' ';
    *out++ = '\t';
    return out;
}

// Most bytes a line takes: each coordinate is given the room the formatter
// asks for, each channel three digits, each field its separator.
constexpr std::size_t kLineRoom = 3 * (kTwentyDigitsRoom + 2) + 3 * (3 + 2) + 1;

// The line a stream with precision 20 and no format flags writes ("%.20g"
// for the coordinates).
char* writeResultLine(char* out, const VELA::SVPoint3d& p)
{
    out = separated(writeTwentyDigits(out, p.x));
    out = separated(writeTwentyDigits(out, p.y));
    out = separated(writeTwentyDigits(out, p.z));
    out = separated(writeChannel(out, p.r));
    out = separated(writeChannel(out, p.g));
    out = separated(writeChannel(out, p.b));
    *out++ = '\n';
    return out;
}

// Points per block: about 170 KB of text, formatted by one task.
constexpr std::size_t kBlockPoints = 2048;

}  // namespace

void appendResultLine(std::string& text, const VELA::SVPoint3d& p)
{
    char line[kLineRoom];
    text.append(line, writeResultLine(line, p));
}

bool writeResultFile(const std::string& fileName, const Planes& planes, std::string& error)
{
    // Where each plane's points start among all the points written.
    std::vector<std::size_t> starts;
    std::size_t total = 0;
    for (const auto& plane : planes) {
        starts.push_back(total);
        total += plane.size();
    }
    BlockFormat format;
    format.records = total;
    format.blockRecords = kBlockPoints;
    format.recordRoom = kLineRoom;
    format.format = [&](std::size_t first, std::size_t end, char* out) {
        // From the last plane that starts at or before `first`.
        const auto holder = std::upper_bound(starts.begin(), starts.end(), first) - 1;
        std::size_t plane = static_cast<std::size_t>(holder - starts.begin());
        std::size_t point = first - starts[plane];
        for (std::size_t n = first; n < end; ++n, ++point) {
            while (point == planes[plane].size()) {
                ++plane;
                point = 0;
            }
            out = writeResultLine(out, planes[plane][point]);
        }
        return out;
    };
    AtomicFile out(fileName);
    writeBlocksInOrder(out, format);
    if (out.commit()) return true;
    error = out.error();
    return false;
}

pcl::PointCloud<pcl::PointXYZRGB>::Ptr makeViewerCloud(const Planes& planes)
{
    vela::BaseOffset offset;
    if (!planes.empty() && !planes[0].empty()) offset = vela::baseOffsetOf(planes[0][0]);

    pcl::PointCloud<pcl::PointXYZRGB>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZRGB>);
    std::size_t count = 0;
    for (const auto& plane : planes) count += plane.size();
    cloud->reserve(count);
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
