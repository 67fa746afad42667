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
        EXPECT_FALSE(expected.header.compressed);
        EXPECT_EQ(decoded.header.pointFormat, expected.header.pointFormat);
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

namespace {

// simple.laz: one VLR (the LASzip one) at 227, its payload at 281; point
// data at 333, the chunk table pointer there, the only chunk at 341.
constexpr std::size_t kSimplePayloadAt = 281;
constexpr std::size_t kSimplePointsAt = 333;
// autzen_trim.laz: point data at 2144, chunks of 283499, 262423 and 55259 bytes.
constexpr std::size_t kAutzenPointsAt = 2144;
constexpr std::size_t kAutzenChunk[3] = {283499, 262423, 55259};

std::size_t autzenChunkStart(int chunk)
{
    std::size_t at = kAutzenPointsAt + 8;
    for (int i = 0; i < chunk; ++i) {
        at += kAutzenChunk[i];
    }
    return at;
}

std::size_t lineCount(const std::string& text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

bool sameRecords(const Records& a, std::size_t aFirst, const Records& b, std::size_t bFirst, std::size_t count)
{
    return std::memcmp(a.record(aFirst), b.record(bFirst), count * a.header.recordLength) == 0;
}

class LazReaderTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!fs::is_directory(lazDir())) {
            GTEST_SKIP() << "no LAZ test data at " << lazDir();
        }
    }

    // A copy of a test file with `spoil` applied, in the test's directory.
    template <typename Spoil>
    std::string spoiled(const std::string& name, Spoil spoil, const std::string& as = "")
    {
        Bytes bytes = loadBytes(lazFile(name));
        spoil(bytes);
        const std::string path = dir_.path(as.empty() ? name : as);
        saveBytes(path, bytes);
        return path;
    }

    TempDir dir_;
};

TEST_F(LazReaderTest, any_thread_count_gives_the_same_records_in_the_same_order)
{
    const std::string damaged = spoiled("autzen_trim.laz", [](Bytes& b) { b[autzenChunkStart(1) + 5000] ^= 0x5A; });
    for (const std::string& file : {lazFile("autzen_trim.laz"), lazFile("1.2-with-color.copc.laz"), damaged}) {
        for (LasFields fields : {LasFields::all, LasFields::coordinatesAndColour}) {
            SCOPED_TRACE(file);
            Records one;
            {
                ScopedThreads threads(1);
                one = readRecords(file, fields);
            }
            for (int n : {2, 7}) {
                ScopedThreads threads(n);
                const Records many = readRecords(file, fields);
                EXPECT_EQ(many.count, one.count) << n << " threads";
                EXPECT_TRUE(many.bytes == one.bytes) << n << " threads";
                EXPECT_EQ(many.err, one.err) << n << " threads";
            }
        }
    }
}

TEST_F(LazReaderTest, lazy_decoding_keeps_coordinates_and_colour_and_skips_the_other_layers)
{
    for (const char* name : {"lone-star.copc.laz", "1.2-with-color.copc.laz", "extra-bytes-format8.laz"}) {
        SCOPED_TRACE(name);
        const Records full = readRecords(lazFile(name));
        const Records lazy = readRecords(lazFile(name), LasFields::coordinatesAndColour);
        ASSERT_EQ(lazy.count, full.count);
        EXPECT_EQ(lazy.err, "");
        const int colourAt = velaseg::lasColourOffset(full.header.pointFormat);
        std::size_t wrong = 0;
        std::size_t skipped = 0;  // records whose intensity was left at the chunk's first value
        for (std::size_t i = 0; i < full.count; ++i) {
            wrong += std::memcmp(full.record(i), lazy.record(i), 12) != 0;
            if (colourAt >= 0) {
                wrong += std::memcmp(full.record(i) + colourAt, lazy.record(i) + colourAt, 6) != 0;
            }
            skipped += std::memcmp(full.record(i) + 12, lazy.record(i) + 12, 2) != 0;
        }
        EXPECT_EQ(wrong, 0u);
        EXPECT_GT(skipped, 0u);
    }
}

TEST_F(LazReaderTest, velaseg_keeps_the_same_points_from_a_laz_file_as_from_its_twin)
{
    const std::string renamed = spoiled("simple.laz", [](Bytes&) {}, "compressed_but_named.las");
    const std::pair<std::string, std::string> pairs[] = {
        {lazFile("autzen_trim.laz"), (lazDir().parent_path() / "autzen_trim.las").string()},
        {renamed, lazFile("simple.las")},
    };
    for (const auto& [laz, twin] : pairs) {
        SCOPED_TRACE(laz);
        std::vector<VELA::SVPoint3d> fromLaz;
        std::vector<VELA::SVPoint3d> fromTwin;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_TRUE(velaseg::readLasFile(laz, fromLaz));
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        testing::internal::CaptureStdout();
        EXPECT_TRUE(velaseg::readLasFile(twin, fromTwin));
        EXPECT_EQ(out, testing::internal::GetCapturedStdout());
        EXPECT_EQ(err, "");
        ASSERT_EQ(fromLaz.size(), fromTwin.size());
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < fromLaz.size(); ++i) {
            const VELA::SVPoint3d& a = fromLaz[i];
            const VELA::SVPoint3d& b = fromTwin[i];
            wrong += a.x != b.x || a.y != b.y || a.z != b.z || a.r != b.r || a.g != b.g || a.b != b.b;
        }
        EXPECT_EQ(wrong, 0u);
    }
}

TEST_F(LazReaderTest, unreadable_or_unsupported_compression_is_refused_in_one_line_naming_it)
{
    struct Case {
        const char* file;
        void (*spoil)(Bytes&);
        const char* reason;
    };
    const Case cases[] = {
        {"invalid-after-signature.laz", [](Bytes&) {}, "unsupported LAS version"},
        {"simple.laz", [](Bytes& b) { poke<std::uint16_t>(b, kSimplePayloadAt, 4); }, "unsupported LAZ compressor 4"},
        {"simple.laz", [](Bytes& b) { poke<std::uint16_t>(b, kSimplePayloadAt + 2, 1); }, "unsupported LAZ coder 1"},
        {"simple.laz", [](Bytes& b) { poke<std::uint16_t>(b, kSimplePayloadAt + 34, 4); }, "unknown LAZ item type 4"},
        {"simple.laz", [](Bytes& b) { poke<std::uint16_t>(b, kSimplePayloadAt + 38, 3); },
         "unsupported LAZ item POINT10 v3 (point format 3)"},
        {"simple.laz", [](Bytes& b) { poke<std::uint16_t>(b, kSimplePayloadAt + 46, 7); },
         "LAZ items POINT10 v2 (20 bytes), GPSTIME11 v2 (8 bytes), GPSTIME11 v2 (6 bytes) do not make up point format 3"},
        {"simple.laz",
         [](Bytes& b) {
             b[104] = 0x87;
             poke<std::uint16_t>(b, 105, 36);
         },
         "unsupported LAZ compressor 2 for point format 7"},
        {"lone-star.copc.laz", [](Bytes& b) { b[104] = 0x81; }, "unsupported LAZ compressor 3 for point format 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        const std::string path = spoiled(c.file, c.spoil);
        std::vector<VELA::SVPoint3d> points(1);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_FALSE(velaseg::readLasFile(path, points));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: could not open lasreader\n");
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("las reader: " + path + ": ", 0), 0u) << err;
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        EXPECT_EQ(lineCount(err), 1u) << err;
        EXPECT_EQ(points.size(), 1u);
    }
}

TEST_F(LazReaderTest, laszip_vlr_decides_compression_when_the_format_byte_does_not_say_so)
{
    const Records expected = readRecords(lazFile("simple.laz"));
    const Records r = readRecords(spoiled("simple.laz", [](Bytes& b) { b[104] = 3; }));
    ASSERT_EQ(r.status, LasReadStatus::read);
    EXPECT_TRUE(r.bytes == expected.bytes);
    EXPECT_NE(r.err.find("does not mark them compressed; decoding them as LAZ"), std::string::npos) << r.err;
    EXPECT_EQ(lineCount(r.err), 1u);
}

TEST_F(LazReaderTest, chunk_table_offset_of_minus_one_is_taken_from_the_end_of_the_file)
{
    const Records expected = readRecords(lazFile("autzen_trim.laz"));
    const Records r = readRecords(spoiled("autzen_trim.laz", [](Bytes& b) {
        const std::uint64_t table = peek<std::uint64_t>(b, kAutzenPointsAt);
        poke<std::int64_t>(b, kAutzenPointsAt, -1);
        b.resize(b.size() + 8);
        poke<std::uint64_t>(b, b.size() - 8, table);
    }));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.bytes == expected.bytes);
}

TEST_F(LazReaderTest, lost_chunk_table_is_replaced_by_finding_the_chunks_one_after_another)
{
    for (const char* name : {"autzen_trim.laz", "lone-star.copc.laz", "1.2-with-color.copc.laz"}) {
        SCOPED_TRACE(name);
        const Records expected = readRecords(lazFile(name));
        const Records r = readRecords(spoiled(name, [&](Bytes& b) {
            const std::size_t pointsAt = peek<std::uint32_t>(b, 96);
            poke<std::uint64_t>(b, pointsAt, b.size() + 1000);  // points past the end
        }));
        EXPECT_EQ(r.count, expected.count);
        EXPECT_TRUE(r.bytes == expected.bytes);
        EXPECT_NE(r.err.find("the chunk table is missing; the chunks were"), std::string::npos) << r.err;
        EXPECT_EQ(lineCount(r.err), 1u);
    }
}

TEST_F(LazReaderTest, damaged_chunk_loses_only_its_own_points_and_says_how_many)
{
    const Records twin = readRecords((lazDir().parent_path() / "autzen_trim.las").string());
    const std::string path = spoiled("autzen_trim.laz", [](Bytes& b) {
        for (std::size_t i = 0; i < 16; ++i) {
            b[autzenChunkStart(1) + 100000 + i] ^= 0xA5;
        }
    });
    const Records r = readRecords(path);
    ASSERT_EQ(r.count, 60000u);
    EXPECT_TRUE(sameRecords(r, 0, twin, 0, 50000));
    EXPECT_TRUE(sameRecords(r, 50000, twin, 100000, 10000));
    EXPECT_EQ(r.err.rfind("las reader: " + path + ": read 60000 of 110000 points, 50000 lost: chunk 2 is damaged (", 0),
              0u)
        << r.err;
    EXPECT_EQ(lineCount(r.err), 1u);
}

TEST_F(LazReaderTest, truncated_file_keeps_the_chunks_before_the_cut)
{
    const Records twin = readRecords((lazDir().parent_path() / "autzen_trim.las").string());
    const Records pointwise = readRecords(spoiled("autzen_trim.laz", [](Bytes& b) { b.resize(autzenChunkStart(2) + 999); }));
    ASSERT_EQ(pointwise.count, 100000u);
    EXPECT_TRUE(sameRecords(pointwise, 0, twin, 0, 100000));
    EXPECT_NE(pointwise.err.find("read 100000 of 110000 points, 10000 lost: chunk 3 is damaged"), std::string::npos)
        << pointwise.err;
    EXPECT_EQ(lineCount(pointwise.err), 1u);

    const Records whole = readRecords(lazFile("lone-star.copc.laz"));
    const Records layered = readRecords(spoiled("lone-star.copc.laz", [](Bytes& b) { b.resize(b.size() / 2); }));
    ASSERT_GT(layered.count, 0u);
    ASSERT_LT(layered.count, whole.count);
    EXPECT_TRUE(sameRecords(layered, 0, whole, 0, layered.count));
    EXPECT_NE(layered.err.find(" lost: "), std::string::npos) << layered.err;
    EXPECT_EQ(lineCount(layered.err), 1u);
}

TEST_F(LazReaderTest, point_count_of_zero_reads_no_point_and_no_chunk)
{
    const Records r = readRecords(spoiled("simple.laz", [](Bytes& b) { poke<std::uint32_t>(b, 107, 0); }));
    EXPECT_EQ(r.status, LasReadStatus::read);
    EXPECT_EQ(r.count, 0u);
    EXPECT_EQ(r.err, "");
}

TEST_F(LazReaderTest, absurd_counts_in_header_or_vlr_size_no_buffer_beyond_the_file)
{
    // Under the sanitizers a buffer sized from these counts would abort.
    const Records count = readRecords(spoiled("simple.laz", [](Bytes& b) { poke<std::uint32_t>(b, 107, 0xFFFFFFFFu); }));
    EXPECT_EQ(count.status, LasReadStatus::read);
    EXPECT_LE(count.count, 1065u);
    EXPECT_NE(count.err.find(" of 4294967295 points"), std::string::npos) << count.err;

    // One stream for the whole file: its count is all there is to size by,
    // whether beyond what its bytes could code or (50 million) not.
    for (std::uint32_t claimed : {0xFFFFFFFFu, 50000000u}) {
        const Records whole =
            readRecords(spoiled("simple-compressor1.laz", [&](Bytes& b) { poke<std::uint32_t>(b, 107, claimed); }));
        EXPECT_EQ(whole.status, LasReadStatus::read);
        EXPECT_EQ(whole.count, 0u);
        EXPECT_NE(whole.err.find("read 0 of " + std::to_string(claimed) + " points"), std::string::npos) << whole.err;
    }

    const Records chunk = readRecords(spoiled("simple.laz", [](Bytes& b) {
        poke<std::uint32_t>(b, 107, 0xFFFFFFF0u);
        poke<std::uint32_t>(b, kSimplePayloadAt + 12, 0xFFFFFFF0u);  // points per chunk
    }));
    EXPECT_EQ(chunk.count, 0u);
    EXPECT_NE(chunk.err.find("it claims 4294967280 points in 17862 bytes"), std::string::npos) << chunk.err;
}

TEST_F(LazReaderTest, wave_packet_formats_are_read_and_say_so_once)
{
    // simple.laz relabelled as format 5: a WAVEPACKET13 item is added to
    // the VLR (6 more bytes, so everything after it moves).
    const std::string path = spoiled("simple.laz", [](Bytes& b) {
        b[104] = 0x85;
        poke<std::uint16_t>(b, 105, 34 + 29);
        poke<std::uint32_t>(b, 96, kSimplePointsAt + 6);
        poke<std::uint16_t>(b, 227 + 20, 52 + 6);
        poke<std::uint16_t>(b, kSimplePayloadAt + 32, 4);
        const Bytes item = {9, 0, 29, 0, 1, 0};
        b.insert(b.begin() + kSimplePayloadAt + 52, item.begin(), item.end());
        poke<std::uint64_t>(b, kSimplePointsAt + 6, peek<std::uint64_t>(b, kSimplePointsAt + 6) + 6);
    });
    for (int threads : {1, 2}) {
        ScopedThreads scoped(threads);
        const Records r = readRecords(path);
        EXPECT_EQ(r.status, LasReadStatus::read);
        const std::string line = "point format 5 carries wave packets; the points are read, their waveforms are not";
        EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(line), r.err.rfind(line)) << "once";
    }
}

}  // namespace

namespace {

// Offset of the LASzip VLR's payload: the VLRs follow the header, each a
// 54-byte header (record id at 18, payload length at 20) and its payload.
std::size_t laszipPayloadAt(const Bytes& b)
{
    std::size_t at = peek<std::uint16_t>(b, 94);
    for (std::uint32_t i = 0; i < peek<std::uint32_t>(b, 100); ++i) {
        if (peek<std::uint16_t>(b, at + 18) == 22204) {
            return at + 54;
        }
        at += 54 + peek<std::uint16_t>(b, at + 20);
    }
    return 0;
}

TEST_F(LazReaderTest, item_version_4_decodes_single_channel_files_as_version_3_does)
{
    // Versions 3 and 4 differ only in how secondary items follow scanner
    // channel switches; every test file stays in channel 0.
    for (const char* name : {"1.2-with-color.copc.laz", "extra-bytes-format8.laz"}) {
        SCOPED_TRACE(name);
        const Records v3 = readRecords(lazFile(name));
        const Records v4 = readRecords(spoiled(name, [](Bytes& b) {
            const std::size_t payload = laszipPayloadAt(b);
            for (std::size_t i = 0; i < peek<std::uint16_t>(b, payload + 32); ++i) {
                poke<std::uint16_t>(b, payload + 38 + 6 * i, 4);
            }
        }));
        EXPECT_EQ(v4.err, "");
        EXPECT_EQ(v4.count, v3.count);
        EXPECT_TRUE(v4.bytes == v3.bytes);
    }
}

}  // namespace
