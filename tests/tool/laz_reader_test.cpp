#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "laz_test_support.h"

namespace {

using namespace laz_test;
using velaseg::LasFields;
using velaseg::LasReadStatus;

std::string lazFile(const std::string& name)
{
    return (lazDir() / name).string();
}

// The fields two files must agree on when they hold the same points in
// another order or another point format: coordinates in the world frame,
// and the attributes that both record layouts carry.
struct Canonical {
    std::int64_t x, y, z;  // in 1e-5 units: every scale in the test files (0.01, 0.00025) is a multiple
    int intensity, returnNumber, returns, scanDirection, edge, classification, flags, scanAngle, user, source;
    std::uint64_t time;
    int red, green, blue;

    auto key() const
    {
        return std::tie(x, y, z, intensity, returnNumber, returns, scanDirection, edge, classification, flags,
                        scanAngle, user, source, time, red, green, blue);
    }
    bool operator<(const Canonical& o) const { return key() < o.key(); }
    bool operator==(const Canonical& o) const { return key() == o.key(); }
};

std::int32_t i32(const std::uint8_t* at)
{
    std::int32_t v;
    std::memcpy(&v, at, 4);
    return v;
}

std::uint16_t u16(const std::uint8_t* at)
{
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

Canonical canonical(const Records& r, std::size_t i)
{
    const std::uint8_t* p = r.record(i);
    const velaseg::LasHeader& h = r.header;
    Canonical c{};
    std::int64_t* axes[3] = {&c.x, &c.y, &c.z};
    for (int a = 0; a < 3; ++a) {
        *axes[a] = std::llround((i32(p + 4 * a) * h.scale[a] + h.offset[a]) * 1e5);
    }
    c.intensity = u16(p + 12);
    int timeAt = -1;
    if (h.pointFormat <= 5) {
        c.returnNumber = p[14] & 7;
        c.returns = (p[14] >> 3) & 7;
        c.scanDirection = (p[14] >> 6) & 1;
        c.edge = p[14] >> 7;
        c.classification = p[15] & 31;
        c.flags = p[15] >> 5;
        c.scanAngle = static_cast<std::int8_t>(p[16]);
        c.user = p[17];
        c.source = u16(p + 18);
        timeAt = h.pointFormat == 0 || h.pointFormat == 2 ? -1 : 20;
    } else {
        c.returnNumber = p[14] & 15;
        c.returns = p[14] >> 4;
        c.flags = p[15] & 7;
        c.scanDirection = (p[15] >> 6) & 1;
        c.edge = p[15] >> 7;
        c.classification = p[16];
        c.user = p[17];
        c.scanAngle = static_cast<int>(std::lround(static_cast<std::int16_t>(u16(p + 18)) * 0.006));
        c.source = u16(p + 20);
        timeAt = 22;
    }
    if (timeAt >= 0) {
        std::memcpy(&c.time, p + timeAt, 8);
    }
    const int colourAt = velaseg::lasColourOffset(h.pointFormat);
    if (colourAt >= 0) {
        c.red = u16(p + colourAt);
        c.green = u16(p + colourAt + 2);
        c.blue = u16(p + colourAt + 4);
    }
    return c;
}

std::vector<Canonical> canonicalSorted(const Records& r)
{
    std::vector<Canonical> all;
    for (std::size_t i = 0; i < r.count; ++i) {
        all.push_back(canonical(r, i));
    }
    std::sort(all.begin(), all.end());
    return all;
}

// Index of the first record that differs, or `count` when all are equal.
std::size_t firstDifference(const Records& a, const Records& b)
{
    const std::size_t n = std::min(a.count, b.count);
    for (std::size_t i = 0; i < n; ++i) {
        if (std::memcmp(a.record(i), b.record(i), a.header.recordLength) != 0) {
            return i;
        }
    }
    return n;
}

TEST(LazTwins, every_record_equals_the_uncompressed_twin_byte_for_byte)
{
    SKIP_WITHOUT_LAZ_DATA();
    const std::pair<const char*, std::string> pairs[] = {
        {"simple.laz", lazFile("simple.las")},
        {"simple-compressor1.laz", lazFile("simple.las")},
        {"liblas-generated.laz", lazFile("simple.las")},
        {"autzen_trim.laz", (lazDir().parent_path() / "autzen_trim.las").string()},
    };
    for (const auto& [laz, twin] : pairs) {
        SCOPED_TRACE(laz);
        const Records decoded = readRecords(lazFile(laz));
        const Records expected = readRecords(twin);
        ASSERT_EQ(decoded.status, LasReadStatus::read) << decoded.err;
        EXPECT_TRUE(decoded.header.compressed);
        EXPECT_EQ(decoded.err, "");
        EXPECT_EQ(decoded.out, "");
        ASSERT_EQ(decoded.header.recordLength, expected.header.recordLength);
        ASSERT_EQ(decoded.count, expected.count);
        EXPECT_EQ(firstDifference(decoded, expected), expected.count);
    }
}

TEST(LazTwins, reordered_or_reformatted_twins_hold_the_same_set_of_points)
{
    SKIP_WITHOUT_LAZ_DATA();
    const std::pair<const char*, const char*> pairs[] = {
        {"1.2-with-color.copc.laz", "1.2-with-color.las"},
        {"lone-star.laz", "lone-star.copc.laz"},
    };
    for (const auto& [one, other] : pairs) {
        SCOPED_TRACE(one);
        const Records a = readRecords(lazFile(one));
        const Records b = readRecords(lazFile(other));
        ASSERT_EQ(a.status, LasReadStatus::read) << a.err;
        ASSERT_EQ(b.status, LasReadStatus::read) << b.err;
        EXPECT_EQ(a.err + b.err, "");
        ASSERT_EQ(a.count, a.header.pointCount);
        ASSERT_EQ(a.count, b.count);
        EXPECT_TRUE(canonicalSorted(a) == canonicalSorted(b));
    }
}

TEST(LazTwins, tile_with_extra_bytes_holds_only_points_of_the_whole_cloud)
{
    SKIP_WITHOUT_LAZ_DATA();
    const Records tile = readRecords(lazFile("lone-star-tile-extra-bytes.laz"));
    const Records whole = readRecords(lazFile("lone-star.laz"));
    ASSERT_EQ(tile.status, LasReadStatus::read) << tile.err;
    ASSERT_EQ(tile.count, 41998u);
    EXPECT_EQ(tile.err, "");
    const std::vector<Canonical> all = canonicalSorted(whole);
    std::size_t foreign = 0;
    for (std::size_t i = 0; i < tile.count; ++i) {
        foreign += !std::binary_search(all.begin(), all.end(), canonical(tile, i));
    }
    EXPECT_EQ(foreign, 0u);
}

TEST(LazTwins, layered_file_with_nir_and_extra_bytes_decodes_every_chunk_and_layer_exactly)
{
    SKIP_WITHOUT_LAZ_DATA();
    // No twin: a layer decoded with a wrong model set would not end exactly
    // at its size, and the reader would report the chunk damaged.
    const Records r = readRecords(lazFile("extra-bytes-format8.laz"));
    ASSERT_EQ(r.status, LasReadStatus::read);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.count, 697721u);
    EXPECT_EQ(r.header.pointFormat, 8);
    EXPECT_EQ(r.header.recordLength, 41);
}

}  // namespace
