// Damaged copies of the LAZ test files: flipped bytes, random runs and
// truncations at seeded random places. The reader must neither crash nor
// read outside the file (the sanitizer run checks that), must account for
// every lost point in one line, and must give the same result on any
// number of threads. Where the damage stays inside one chunk of a file with
// a chunk table, every other chunk must come through unchanged.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>

#include "laz_test_support.h"

namespace {

using namespace laz_test;
using velaseg::LasReadStatus;

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> all;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        all.push_back(line);
    }
    return all;
}

void damage(Bytes& bytes, std::size_t from, std::size_t to, std::mt19937& random)
{
    std::uniform_int_distribution<std::size_t> place(from, to - 1);
    switch (random() % 4) {
    case 0:  // a few flipped bytes
        for (int i = 0, n = 1 + static_cast<int>(random() % 8); i < n; ++i) {
            bytes[place(random)] ^= static_cast<std::uint8_t>(1 + random() % 255);
        }
        break;
    case 1:  // a random run
    case 2: {  // a zeroed run
        const bool zero = random() % 4 == 2;
        const std::size_t at = place(random);
        const std::size_t end = std::min(to, at + 1 + random() % 64);
        for (std::size_t i = at; i < end; ++i) {
            bytes[i] = zero ? 0 : static_cast<std::uint8_t>(random());
        }
        break;
    }
    default:  // cut off
        bytes.resize(place(random));
        break;
    }
}

// What every read of a damaged file must satisfy.
void expectAccounted(const Records& r, const std::string& path)
{
    EXPECT_EQ(r.out, "");
    const std::vector<std::string> said = lines(r.err);
    for (const std::string& line : said) {
        EXPECT_EQ(line.rfind("las reader: " + path + ": ", 0), 0u) << line;
    }
    if (r.status == LasReadStatus::refused) {
        EXPECT_EQ(r.count, 0u);
        EXPECT_EQ(said.size(), 1u) << r.err;
        return;
    }
    ASSERT_EQ(r.status, LasReadStatus::read);
    EXPECT_LE(r.count, r.header.pointCount);
    if (r.count < r.header.pointCount) {
        const std::string loss = "read " + std::to_string(r.count) + " of " + std::to_string(r.header.pointCount) +
                                 " points, " + std::to_string(r.header.pointCount - r.count) + " lost: ";
        EXPECT_NE(r.err.find(loss), std::string::npos) << r.err;
    }
    EXPECT_LE(said.size(), 2u) << r.err;
}

TEST(LazFuzz, damaged_copies_never_crash_and_account_for_every_lost_point)
{
    SKIP_WITHOUT_LAZ_DATA();
    TempDir dir;
    std::mt19937 random(1234);
    struct Source {
        const char* name;
        int copies;
        std::size_t keep;  // bytes of the original used, 0: all
    };
    // The format-8 file is cut to its first chunks: enough for every layered
    // item, small enough for the sanitizer run.
    const Source sources[] = {
        {"simple.laz", 48, 0},          {"simple-compressor1.laz", 32, 0}, {"liblas-generated.laz", 16, 0},
        {"1.2-with-color.copc.laz", 48, 0}, {"lone-star-tile-extra-bytes.laz", 8, 0},
        {"extra-bytes-format8.laz", 8, 300000},
    };
    int differential = 0;
    for (const Source& source : sources) {
        Bytes original = loadBytes((lazDir() / source.name).string());
        if (source.keep != 0) {
            original.resize(source.keep);
        }
        for (int copy = 0; copy < source.copies; ++copy) {
            Bytes bytes = original;
            // Mostly the point data, now and then the header and VLRs.
            const std::size_t from = random() % 8 == 0 ? 0 : 375;
            damage(bytes, from, bytes.size(), random);
            const std::string path = dir.path(std::to_string(copy) + "_" + source.name);
            saveBytes(path, bytes);
            SCOPED_TRACE(path);
            Records one;
            {
                ScopedThreads threads(1);
                one = readRecords(path);
            }
            expectAccounted(one, path);
            if (copy % 4 == 0) {
                ScopedThreads threads(2);
                const Records two = readRecords(path);
                EXPECT_TRUE(two.bytes == one.bytes);
                EXPECT_EQ(two.err, one.err);
                ++differential;
            }
        }
    }
    EXPECT_GT(differential, 0);
}

TEST(LazFuzz, damage_inside_one_chunk_leaves_every_other_chunk_as_it_was)
{
    SKIP_WITHOUT_LAZ_DATA();
    const std::string name = "1.2-with-color.copc.laz";
    const Bytes original = loadBytes((lazDir() / name).string());
    const Records intact = readRecords((lazDir() / name).string());
    ASSERT_EQ(intact.err, "");

    // The chunks, found by their own headers: a 36-byte raw point, the
    // point count and ten layer sizes.
    struct Chunk {
        std::size_t at, bytes, first, points;
    };
    std::vector<Chunk> chunks;
    std::size_t at = peek<std::uint32_t>(original, 96) + 8;
    for (std::size_t first = 0; first < intact.count;) {
        Chunk c{at, 36 + 4 + 40, first, peek<std::uint32_t>(original, at + 36)};
        for (int layer = 0; layer < 10; ++layer) {
            c.bytes += peek<std::uint32_t>(original, at + 40 + 4 * layer);
        }
        chunks.push_back(c);
        at += c.bytes;
        first += c.points;
    }
    ASSERT_EQ(chunks.size(), 65u);

    TempDir dir;
    std::mt19937 random(99);
    const std::size_t recordLength = intact.header.recordLength;
    for (int copy = 0; copy < 48; ++copy) {
        const Chunk& c = chunks[random() % chunks.size()];
        Bytes bytes = original;
        for (int i = 0, n = 1 + static_cast<int>(random() % 4); i < n; ++i) {
            bytes[c.at + random() % c.bytes] ^= static_cast<std::uint8_t>(1 + random() % 255);
        }
        const std::string path = dir.path(std::to_string(copy) + ".laz");
        saveBytes(path, bytes);
        SCOPED_TRACE(path);
        const Records r = readRecords(path);
        expectAccounted(r, path);
        const std::size_t before = c.first * recordLength;
        const std::size_t after = (c.first + c.points) * recordLength;
        ASSERT_GE(r.bytes.size(), before);
        EXPECT_TRUE(std::equal(intact.bytes.begin(), intact.bytes.begin() + before, r.bytes.begin()));
        if (r.count == intact.count) {
            // Damage that changed no decoded value, or a different first point.
            EXPECT_TRUE(std::equal(intact.bytes.begin() + after, intact.bytes.end(), r.bytes.begin() + after));
        } else {
            ASSERT_EQ(r.count, intact.count - c.points);
            EXPECT_TRUE(std::equal(intact.bytes.begin() + after, intact.bytes.end(), r.bytes.begin() + before));
        }
    }
}

}  // namespace
