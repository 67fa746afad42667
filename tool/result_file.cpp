#include "result_file.h"

#include <algorithm>
#include <charconv>
#include <memory>

#include <tbb/global_control.h>
#include <tbb/parallel_pipeline.h>
#include <tbb/task_arena.h>

#include "atomic_file.h"
#include "decimal_text.h"
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

// The text a stream with precision 20 and no format flags gives ("%.20g").
void appendCoordinate(std::string& line, double v)
{
    char text[kTwentyDigitsRoom];
    line.append(text, writeTwentyDigits(text, v));
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

namespace {

// Points per block: a block's text (about 85 bytes a point) is formatted by
// one task, and a few blocks per thread are in flight at any time, so the
// memory stays bounded whatever the number of points.
constexpr std::size_t kBlockPoints = 2048;
constexpr int kBlocksInFlightPerThread = 3;

// A run of consecutive points, possibly across plane ends, from `plane`,
// `point` on.
struct Block {
    std::size_t plane = 0;
    std::size_t point = 0;
    std::string text;
};

// Moves (plane, point) past one block's points to where the next block
// starts; false when no point is left.
bool advance(const Planes& planes, std::size_t& plane, std::size_t& point)
{
    for (std::size_t left = kBlockPoints; plane < planes.size();) {
        const std::size_t here = planes[plane].size() - point;
        if (here > left) {
            point += left;
            return true;
        }
        left -= here;
        ++plane;
        point = 0;
    }
    return false;
}

void formatBlock(const Planes& planes, Block& block)
{
    block.text.reserve(kBlockPoints * 96);
    std::size_t plane = block.plane, point = block.point;
    for (std::size_t n = 0; n < kBlockPoints && plane < planes.size(); ++n) {
        while (point == planes[plane].size()) {
            ++plane;
            point = 0;
            if (plane == planes.size()) return;
        }
        appendResultLine(block.text, planes[plane][point++]);
    }
}

}  // namespace

bool writeResultFile(const std::string& fileName, const Planes& planes, std::string& error)
{
    AtomicFile out(fileName);
    const int threads = std::max(1, VELA::VELA_ThreadCount());
    // More threads than cores is allowed on request; the bytes do not depend on it.
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
    tbb::task_arena arena(threads);
    std::size_t plane = 0, point = 0;
    bool more = !planes.empty();
    bool failed = false;
    // Formatted in parallel, written in order.
    arena.execute([&] {
        tbb::parallel_pipeline(
            static_cast<std::size_t>(threads * kBlocksInFlightPerThread),
            tbb::make_filter<void, std::shared_ptr<Block>>(tbb::filter_mode::serial_in_order,
                                                           [&](tbb::flow_control& flow) {
                                                               if (!more || failed) {
                                                                   flow.stop();
                                                                   return std::shared_ptr<Block>();
                                                               }
                                                               auto block = std::make_shared<Block>();
                                                               block->plane = plane;
                                                               block->point = point;
                                                               more = advance(planes, plane, point);
                                                               return block;
                                                           }) &
                tbb::make_filter<std::shared_ptr<Block>, std::shared_ptr<Block>>(
                    tbb::filter_mode::parallel,
                    [&](std::shared_ptr<Block> block) {
                        formatBlock(planes, *block);
                        return block;
                    }) &
                tbb::make_filter<std::shared_ptr<Block>, void>(
                    tbb::filter_mode::serial_in_order,
                    [&](const std::shared_ptr<Block>& block) { failed = !out.write(block->text) || failed; }));
    });
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
