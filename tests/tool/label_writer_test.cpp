#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "label_writer.h"
#include "support/test_support.h"
#include "threads_variable.h"

using VELA::SVPoint3d;

namespace {

// The rows of an organised cloud: points in four planes and in none, and
// rows left out (z not finite) alone, in runs, at the start and across the
// ends of the writer's blocks.
struct Cloud {
    std::vector<SVPoint3d> points;
    std::vector<VELA::tag_SkippedPoint> skipped;
    std::vector<std::vector<SVPoint3d>> planes{4};
    std::vector<std::vector<std::size_t>> planeIndices{4};
    std::vector<std::int32_t> planeOf;  // per point, 0 for none
};

Cloud cloudOfRows(std::size_t rows)
{
    std::mt19937_64 random(23);
    std::uniform_real_distribution<double> local(-50.0, 50.0), map(4e6, 5e6);
    Cloud c;
    for (std::size_t row = 0; row < rows; ++row) {
        SVPoint3d p(map(random), local(random), local(random) * 1e-3);
        p.r = static_cast<std::uint8_t>(row % 256);
        p.g = static_cast<std::uint8_t>(random() % 256);
        p.b = 7;
        if (row < 3 || (row + 5) % 4096 < 10 || random() % 61 == 0) {
            p.z = std::numeric_limits<double>::quiet_NaN();
            c.skipped.push_back(VELA::tag_SkippedPoint{row, p});
            continue;
        }
        const std::int32_t plane = static_cast<std::int32_t>(random() % 5);
        c.planeOf.push_back(plane);
        if (plane > 0) {
            SVPoint3d coloured = p;
            coloured.r = static_cast<std::uint8_t>(40 * plane);
            coloured.g = static_cast<std::uint8_t>(255 - plane);
            coloured.b = static_cast<std::uint8_t>(plane);
            c.planes[static_cast<std::size_t>(plane - 1)].push_back(coloured);
            c.planeIndices[static_cast<std::size_t>(plane - 1)].push_back(c.points.size());
        }
        c.points.push_back(p);
    }
    return c;
}

template <typename T>
void append(std::string& bytes, T value)
{
    char raw[sizeof value];
    std::memcpy(raw, &value, sizeof value);
    bytes.append(raw, sizeof value);
}

// The rows one after the other, as each format lays them out.
std::string literalRows(const Cloud& c, const std::string& type)
{
    std::string bytes;
    std::size_t nextPoint = 0, nextSkipped = 0;
    for (std::size_t row = 0; row < c.points.size() + c.skipped.size(); ++row) {
        const bool left = nextSkipped < c.skipped.size() && c.skipped[nextSkipped].row == row;
        const SVPoint3d p = left ? c.skipped[nextSkipped++].point : c.points[nextPoint];
        const std::int32_t plane = left ? 0 : c.planeOf[nextPoint++];
        const SVPoint3d colour = plane > 0 ? c.planes[static_cast<std::size_t>(plane - 1)].front() : p;
        const std::int32_t id = plane > 0 ? plane : -1;
        if (type == "txt") {
            std::ostringstream line;
            line.precision(20);
            line << p.x << ',' << p.y << ',' << p.z << ',' << id << '\n';
            bytes += line.str();
        } else if (type == "pcd") {
            for (double v : {p.x, p.y, p.z}) append(bytes, v);
            const std::uint8_t r = left ? 255 : colour.r, g = left ? 255 : colour.g, b = left ? 255 : colour.b;
            append(bytes, std::uint32_t(0xFF000000u) | (std::uint32_t(r) << 16) | (std::uint32_t(g) << 8) | b);
            append(bytes, static_cast<std::uint32_t>(plane));
        } else {
            for (double v : {p.x, p.y, p.z}) append(bytes, v);
            for (std::uint8_t v : {colour.r, colour.g, colour.b}) bytes += static_cast<char>(left ? 255 : v);
            append(bytes, id);
        }
    }
    return bytes;
}

}  // namespace

TEST(LabelWriter, blocks_formatted_at_once_give_the_rows_one_after_the_other_in_every_format)
{
    const Cloud cloud = cloudOfRows(3 * 4096 + 123);
    const velaseg::LabelledRows rows = velaseg::labelRows(cloud.points, &cloud.skipped, cloud.planes,
                                                          cloud.planeIndices, true);
    testsupport::TempDir dir;
    for (const std::string type : {"txt", "pcd", "ply"}) {
        const std::string want = literalRows(cloud, type);
        for (const char* threads : toolsupport::kThreadCounts) {
            const toolsupport::ThreadsVariable variable(threads);
            const std::string path = dir.file("labels." + type);
            std::string error;
            ASSERT_TRUE(velaseg::writeLabels(path, rows, nullptr, error)) << error;
            const std::string written = testsupport::readFile(path);
            // The binary formats' rows follow their header.
            ASSERT_GE(written.size(), want.size()) << type << ", " << threads << " threads";
            EXPECT_TRUE(written.compare(written.size() - want.size(), want.size(), want) == 0)
                << type << ", " << threads << " threads";
            if (type == "txt") {
                EXPECT_EQ(written.size(), want.size()) << threads << " threads";
            }
        }
    }
}
