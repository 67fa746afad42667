#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "las_reader.h"
#include "las_writer.h"
#include "laz_test_support.h"

namespace {

namespace fs = std::filesystem;
using velaseg::LasWriteOptions;
using VELA::SVPoint3d;
using Bytes = std::vector<std::uint8_t>;
using Rgb16 = std::array<std::uint16_t, 3>;

struct ReadResult {
    bool ok = false;
    std::vector<SVPoint3d> points;
    std::string out;
    std::string err;
};

ReadResult readCaptured(const std::string& path, std::vector<SVPoint3d> points = {})
{
    ReadResult result;
    result.points = std::move(points);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    result.ok = velaseg::readLasFile(path, result.points);
    result.out = testing::internal::GetCapturedStdout();
    result.err = testing::internal::GetCapturedStderr();
    return result;
}

std::string countLine(std::size_t n)
{
    return "the total number of points is: " + std::to_string(n) + "\n";
}

using laz_test::loadBytes;
using laz_test::poke;
using laz_test::saveBytes;

double f64At(const Bytes& bytes, std::size_t at)
{
    double value;
    std::memcpy(&value, &bytes[at], sizeof value);  // the test host is little-endian
    return value;
}

// Header field offsets the tests tamper with.
constexpr std::size_t kHeaderSizeAt = 94;
constexpr std::size_t kOffsetToPointsAt = 96;
constexpr std::size_t kFormatAt = 104;
constexpr std::size_t kRecordLengthAt = 105;
constexpr std::size_t kLegacyCountAt = 107;
constexpr std::size_t kExtendedCountAt = 247;

bool hasColour(int format)
{
    return format == 2 || format == 3 || format == 5 || format == 7 || format == 8 || format == 10;
}

class LasReaderTest : public testing::Test {
protected:
    void SetUp() override
    {
        const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        dir_ = fs::temp_directory_path() / ("velaseg_las_" + std::to_string(::getpid()) + "_" + name);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // Points whose stored integers are exactly `stored`, with these options.
    std::string write(const std::string& name, const std::vector<std::array<std::int32_t, 3>>& stored,
                      const LasWriteOptions& options)
    {
        std::vector<SVPoint3d> points;
        for (const auto& s : stored) {
            points.emplace_back(expected(s[0], options, 0), expected(s[1], options, 1), expected(s[2], options, 2));
        }
        const std::string file = path(name);
        EXPECT_TRUE(velaseg::writeLasFile(file, points, options));
        return file;
    }

    static double expected(std::int32_t stored, const LasWriteOptions& options, int axis)
    {
        return stored * options.scale[axis] + options.offset[axis];
    }

    fs::path dir_;
};

const std::vector<std::array<std::int32_t, 3>> kStored = {
    {12345, -7, 0},
    {std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::min(), 1},
    {-1, 65536, -123456789},
};
// High and low bytes differ everywhere, so taking the wrong byte shows.
const std::vector<Rgb16> kColours = {{0xFF80, 0x1234, 0x00FF}, {65535, 32768, 0}, {0x0102, 0xA0B0, 0x7F01}};

TEST_F(LasReaderTest, every_point_format_round_trips_coordinates_and_low_colour_bytes)
{
    for (int format = 0; format <= 10; ++format) {
        SCOPED_TRACE("format " + std::to_string(format));
        LasWriteOptions options;
        options.versionMinor = format <= 5 ? format % 4 : 4;
        options.pointFormat = format;
        options.scale[0] = 0.01;
        options.scale[1] = 0.001;
        options.scale[2] = 0.1;
        options.offset[0] = 500000.0;
        options.offset[1] = -4000000.0;
        options.offset[2] = 100.0;
        options.colours16 = kColours;
        const std::string file = write("f" + std::to_string(format) + ".las", kStored, options);

        const ReadResult r = readCaptured(file);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.out, countLine(3));
        EXPECT_EQ(r.err, "");
        ASSERT_EQ(r.points.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(r.points[i].x, expected(kStored[i][0], options, 0));
            EXPECT_EQ(r.points[i].y, expected(kStored[i][1], options, 1));
            EXPECT_EQ(r.points[i].z, expected(kStored[i][2], options, 2));
            const int low = hasColour(format) ? 0xFF : 0;
            EXPECT_EQ(r.points[i].r, kColours[i][0] & low);
            EXPECT_EQ(r.points[i].g, kColours[i][1] & low);
            EXPECT_EQ(r.points[i].b, kColours[i][2] & low);
        }
    }
}

TEST_F(LasReaderTest, coordinate_is_integer_times_scale_plus_offset_in_double)
{
    LasWriteOptions options;
    options.pointFormat = 2;
    options.scale[0] = options.scale[1] = options.scale[2] = 0.01;
    options.offset[0] = options.offset[1] = options.offset[2] = 500000.0;
    options.colours16 = {{65535, 32768, 0}};
    const ReadResult r = readCaptured(write("example.las", {{12345, 0, -12345}}, options));
    ASSERT_EQ(r.points.size(), 1u);
    EXPECT_EQ(r.points[0].x, 500123.45);
    EXPECT_EQ(r.points[0].y, 500000.0);
    EXPECT_EQ(r.points[0].z, 499876.55);
    EXPECT_EQ(r.points[0].r, 255);
    EXPECT_EQ(r.points[0].g, 0);
    EXPECT_EQ(r.points[0].b, 0);
}

TEST_F(LasReaderTest, colourless_formats_ignore_the_bytes_where_colour_would_be)
{
    // Extra bytes sit where format 2 keeps its colour; they must not leak in.
    for (int format : {0, 1, 4, 6, 9}) {
        LasWriteOptions options;
        options.versionMinor = 4;
        options.pointFormat = format;
        options.extraBytes = 40;
        const ReadResult r = readCaptured(write("nocolour.las", {{1, 2, 3}}, options));
        ASSERT_EQ(r.points.size(), 1u) << "format " << format;
        EXPECT_EQ(r.points[0].r, 0) << "format " << format;
        EXPECT_EQ(r.points[0].g, 0) << "format " << format;
        EXPECT_EQ(r.points[0].b, 0) << "format " << format;
    }
}

TEST_F(LasReaderTest, extra_bytes_header_padding_and_gap_before_points_are_skipped)
{
    for (int minor : {2, 4}) {
        SCOPED_TRACE("LAS 1." + std::to_string(minor));
        LasWriteOptions options;
        options.versionMinor = minor;
        options.pointFormat = minor == 4 ? 7 : 3;
        options.extraBytes = 13;
        options.extraHeaderBytes = 41;
        options.gapBeforePoints = 100;
        options.colours16 = kColours;
        const ReadResult r = readCaptured(write("padded.las", kStored, options));
        ASSERT_TRUE(r.ok);
        ASSERT_EQ(r.points.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(r.points[i].x, expected(kStored[i][0], options, 0));
            EXPECT_EQ(r.points[i].z, expected(kStored[i][2], options, 2));
            EXPECT_EQ(r.points[i].b, kColours[i][2] & 0xFF);
        }
    }
}

TEST_F(LasReaderTest, legacy_count_of_zero_falls_back_to_the_64_bit_count_of_las_1_4)
{
    LasWriteOptions options;
    options.versionMinor = 4;
    options.pointFormat = 6;
    const std::string file = write("extended.las", kStored, options);
    const Bytes bytes = loadBytes(file);
    ASSERT_EQ(bytes[kLegacyCountAt], 0);  // formats 6 to 10 leave the legacy count empty
    EXPECT_EQ(readCaptured(file).points.size(), 3u);

    // Before 1.4 the same bytes are no count at all: the file holds 0 points.
    options.versionMinor = 2;
    options.pointFormat = 1;
    options.extraHeaderBytes = 200;  // header reaches past byte 255, filled with non-zero bytes
    const std::string old = write("old.las", kStored, options);
    Bytes oldBytes = loadBytes(old);
    poke<std::uint32_t>(oldBytes, kLegacyCountAt, 0);
    saveBytes(old, oldBytes);
    const ReadResult r = readCaptured(old);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, countLine(0));
    EXPECT_EQ(r.err, "");
}

TEST_F(LasReaderTest, only_the_declared_count_is_read_when_more_records_follow)
{
    LasWriteOptions options;
    const std::string file = write("trailing.las", kStored, options);
    Bytes bytes = loadBytes(file);
    poke<std::uint32_t>(bytes, kLegacyCountAt, 2);
    saveBytes(file, bytes);
    const ReadResult r = readCaptured(file);
    EXPECT_EQ(r.points.size(), 2u);
    EXPECT_EQ(r.err, "");
}

TEST_F(LasReaderTest, count_line_counts_points_already_in_the_vector)
{
    LasWriteOptions options;
    const ReadResult r = readCaptured(write("append.las", kStored, options), {SVPoint3d(1, 2, 3)});
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, countLine(4));
    ASSERT_EQ(r.points.size(), 4u);
    EXPECT_EQ(r.points[0].x, 1.0);
    EXPECT_EQ(r.points[1].x, expected(kStored[0][0], options, 0));
}

TEST_F(LasReaderTest, truncated_file_keeps_its_whole_records_and_says_so)
{
    LasWriteOptions options;  // format 3: 34-byte records
    std::vector<std::array<std::int32_t, 3>> stored;
    for (std::int32_t i = 0; i < 10; ++i) {
        stored.push_back({i, -i, 2 * i});
    }
    const std::string file = write("cut.las", stored, options);
    Bytes bytes = loadBytes(file);
    bytes.resize(velaseg::kLasHeaderSize + 4 * 34 + 17);
    saveBytes(file, bytes);

    const ReadResult r = readCaptured(file);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, countLine(4));
    ASSERT_EQ(r.points.size(), 4u);
    EXPECT_EQ(r.points[3].z, expected(6, options, 2));
    EXPECT_EQ(r.err, "las reader: " + file + ": file ended early: read 4 of 10 points; keeping those\n");
}

TEST_F(LasReaderTest, absurd_point_count_reads_what_the_file_holds_without_huge_allocation)
{
    LasWriteOptions options;
    options.versionMinor = 4;
    options.pointFormat = 6;
    const std::string extended = write("huge64.las", kStored, options);
    Bytes bytes = loadBytes(extended);
    poke<std::uint64_t>(bytes, kExtendedCountAt, std::uint64_t(1) << 62);
    saveBytes(extended, bytes);
    ReadResult r = readCaptured(extended);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.points.size(), 3u);
    EXPECT_NE(r.err.find("read 3 of 4611686018427387904 points"), std::string::npos) << r.err;

    options = LasWriteOptions();
    const std::string legacy = write("huge32.las", kStored, options);
    bytes = loadBytes(legacy);
    poke<std::uint32_t>(bytes, kLegacyCountAt, 0xFFFFFFFFu);
    saveBytes(legacy, bytes);
    r = readCaptured(legacy);
    EXPECT_EQ(r.points.size(), 3u);
    EXPECT_NE(r.err.find("read 3 of 4294967295 points"), std::string::npos) << r.err;
}

TEST_F(LasReaderTest, records_spanning_several_read_blocks_all_arrive_in_order)
{
    // 33-byte records: block boundaries fall at odd places in the file.
    LasWriteOptions options;
    options.pointFormat = 1;
    options.extraBytes = 5;
    std::mt19937 random(7);
    std::uniform_int_distribution<std::int32_t> value(-2000000000, 2000000000);
    std::vector<std::array<std::int32_t, 3>> stored(300000);
    for (auto& s : stored) {
        s = {value(random), value(random), value(random)};
    }
    const ReadResult r = readCaptured(write("big.las", stored, options));
    ASSERT_EQ(r.points.size(), stored.size());
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        wrong += r.points[i].x != expected(stored[i][0], options, 0) ||
                 r.points[i].y != expected(stored[i][1], options, 1) ||
                 r.points[i].z != expected(stored[i][2], options, 2);
    }
    EXPECT_EQ(wrong, 0u);
}

TEST_F(LasReaderTest, files_that_are_not_readable_las_are_refused_with_a_reason)
{
    struct Case {
        const char* name;
        std::function<void(Bytes&)> spoil;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"bad_signature", [](Bytes& b) { b[3] = 'X'; }, "no \"LASF\" signature"},
        {"empty_file", [](Bytes& b) { b.clear(); }, "no \"LASF\" signature"},
        {"text_file", [](Bytes& b) { b.assign({'1', ' ', '2', ' ', '3', '\n'}); }, "no \"LASF\" signature"},
        {"short_header", [](Bytes& b) { b.resize(100); }, "header too short: the file has 100 bytes"},
        {"small_header_size", [](Bytes& b) { poke<std::uint16_t>(b, kHeaderSizeAt, 200); },
         "header size 200 smaller than the 227 bytes"},
        {"header_beyond_file", [](Bytes& b) { poke<std::uint16_t>(b, kHeaderSizeAt, 4000); },
         "header size 4000 beyond end of file"},
        {"version_2", [](Bytes& b) { b[24] = 2; }, "unsupported LAS version 2.2"},
        {"laz", [](Bytes& b) { b[kFormatAt] = 0x83; }, "compressed LAZ point data (point format byte 0x83)"},
        {"old_laz", [](Bytes& b) { b[kFormatAt] = 0x43; }, "compressed LAZ"},
        {"unknown_format", [](Bytes& b) { b[kFormatAt] = 11; }, "unknown point format 11"},
        {"record_too_short", [](Bytes& b) { poke<std::uint16_t>(b, kRecordLengthAt, 33); },
         "point record length 33 shorter than the 34 bytes point format 3 needs"},
        {"offset_inside_header", [](Bytes& b) { poke<std::uint32_t>(b, kOffsetToPointsAt, 100); },
         "point data offset 100 inside the header (227 bytes)"},
        {"offset_beyond_file", [](Bytes& b) { poke<std::uint32_t>(b, kOffsetToPointsAt, 4000); },
         "point data offset 4000 beyond end of file (329 bytes)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = write(std::string(c.name) + ".las", kStored, LasWriteOptions());
        Bytes bytes = loadBytes(file);
        c.spoil(bytes);
        saveBytes(file, bytes);

        const ReadResult r = readCaptured(file, {SVPoint3d(1, 2, 3)});
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.points.size(), 1u);
        EXPECT_EQ(r.out, "ERROR: could not open lasreader\n");
        EXPECT_EQ(r.err.rfind("las reader: " + file + ": ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line";
    }
}

TEST_F(LasReaderTest, path_without_a_file_means_no_input)
{
    for (const std::string& missing : {path("absent.las"), dir_.string(), std::string()}) {
        SCOPED_TRACE(missing);
        const ReadResult r = readCaptured(missing, {SVPoint3d(1, 2, 3)});
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.points.size(), 1u);
        EXPECT_EQ(r.out, "ERROR: no input specified\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(LasReaderTest, writer_refuses_what_las_cannot_hold_and_leaves_no_file)
{
    const std::vector<SVPoint3d> far = {SVPoint3d(1e12, 0, 0)};
    LasWriteOptions options;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(velaseg::writeLasFile(path("far.las"), far, options));
    options.pointFormat = 11;
    EXPECT_FALSE(velaseg::writeLasFile(path("format.las"), {}, options));
    options = LasWriteOptions();
    options.versionMinor = 5;
    EXPECT_FALSE(velaseg::writeLasFile(path("version.las"), {}, options));
    options = LasWriteOptions();
    options.colours16 = {{1, 2, 3}, {4, 5, 6}};
    EXPECT_FALSE(velaseg::writeLasFile(path("colours.las"), far, options));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("las writer: " + path("far.las") + ": coordinate 1000000000000 of point 0 does not fit"),
              std::string::npos)
        << err;
    EXPECT_TRUE(fs::is_empty(dir_));
}

// The sample clouds shipped beside the project, with the counts their headers declare.
TEST(LasReaderRealFiles, sample_clouds_read_with_their_declared_counts_inside_their_bounds)
{
    const fs::path data = VELASEG_DATA_DIR;
    if (!fs::is_directory(data)) {
        GTEST_SKIP() << "no sample data at " << data;
    }
    // `coloured`: some point has a non-zero low colour byte. sample_c.las keeps
    // 8-bit colours shifted into the high byte, so its low bytes are all 0.
    struct Sample {
        const char* name;
        std::size_t count;
        bool coloured;
    };
    const Sample samples[] = {
        {"1.0_0.las", 1, false},           {"1.2_2.las", 1, true},           {"100-points.las", 100, true},
        {"autzen_trim.las", 110000, true}, {"sample_c.las", 14408, false}, {"sample_nc.las", 14408, false},
        {"test1_4.las", 1000, false},
    };
    for (const Sample& s : samples) {
        SCOPED_TRACE(s.name);
        const std::string file = (data / s.name).string();
        if (!fs::exists(file)) {
            ADD_FAILURE() << "missing sample " << file;
            continue;
        }
        const ReadResult r = readCaptured(file);
        ASSERT_TRUE(r.ok) << r.err;
        EXPECT_EQ(r.out, countLine(s.count));
        EXPECT_EQ(r.err, "");
        ASSERT_EQ(r.points.size(), s.count);

        // Header bounds: max x, min x, max y, min y, max z, min z from byte 179.
        const Bytes bytes = loadBytes(file);
        std::size_t outside = 0;
        bool anyColour = false;
        for (const SVPoint3d& p : r.points) {
            const double v[3] = {p.x, p.y, p.z};
            for (int axis = 0; axis < 3; ++axis) {
                const double slack = f64At(bytes, 131 + 8 * axis);
                outside += v[axis] > f64At(bytes, 179 + 16 * axis) + slack ||
                           v[axis] < f64At(bytes, 187 + 16 * axis) - slack;
            }
            anyColour = anyColour || p.r != 0 || p.g != 0 || p.b != 0;
        }
        EXPECT_EQ(outside, 0u);
        EXPECT_EQ(anyColour, s.coloured);
    }
}

}  // namespace
