#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <pcl/io/lzf.h>

#include "segmenter/pcd_header.h"

using vela::PcdHeader;

namespace {

const std::vector<std::string> kSoundHeader = {
    "# .PCD v0.7 - Point Cloud Data file format",
    "VERSION 0.7",
    "FIELDS x y z",
    "SIZE 4 4 4",
    "TYPE F F F",
    "COUNT 1 1 1",
    "WIDTH 2",
    "HEIGHT 1",
    "VIEWPOINT 0 0 0 1 0 0 0",
    "POINTS 2",
    "DATA ascii",
};

// The sound header with the line of `keyword` replaced (left out when
// `replacement` is empty), then `payload`.
std::string fileWith(const std::string& keyword, const std::string& replacement,
                     const std::string& payload = "1 2 3\n4 5 6\n")
{
    std::string text;
    for (const std::string& line : kSoundHeader) {
        if (!keyword.empty() && line.compare(0, keyword.size(), keyword) == 0) {
            if (!replacement.empty()) text += replacement + "\n";
        } else {
            text += line + "\n";
        }
    }
    return text + payload;
}

PcdHeader headerOf(const std::string& file) { return vela::readPcdHeader(file.data(), file.size()); }

// Why the file is refused: the header's problem, else the payload's.
std::string problemOf(const std::string& file)
{
    const PcdHeader header = headerOf(file);
    if (!header.problem.empty()) return header.problem;
    return vela::pcdPayloadProblem(header, file.data(), file.size());
}

std::string binaryFile(const std::string& dataLine, const std::string& points, const std::string& payload)
{
    return "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH " + points + "\nHEIGHT 1\nPOINTS " + points +
           "\n" + dataLine + "\n" + payload;
}

std::string sizes(std::uint32_t stored, std::uint32_t uncompressed)
{
    std::string s(8, '\0');
    std::memcpy(&s[0], &stored, 4);
    std::memcpy(&s[4], &uncompressed, 4);
    return s;
}

}  // namespace

TEST(PcdHeader, written_header_gives_its_layout_and_payload_offset)
{
    std::string full;
    for (const std::string& line : kSoundHeader) {
        if (line.rfind("FIELDS", 0) == 0) full += "FIELDS x y z rgb curvature _\n";
        else if (line.rfind("SIZE", 0) == 0) full += "SIZE 4 4 4 4 8 1\n";
        else if (line.rfind("TYPE", 0) == 0) full += "TYPE F F F U F U\n";
        else if (line.rfind("COUNT", 0) == 0) full += "COUNT 1 1 1 1 1 3\n";
        else full += line + "\n";
    }
    const std::size_t headerBytes = full.size();
    full += "1 2 3 4 5 6 7 8\n1 2 3 4 5 6 7 8\n";
    const PcdHeader header = headerOf(full);
    ASSERT_EQ(header.problem, "");
    ASSERT_EQ(header.fields.size(), 6u);
    EXPECT_EQ(header.fields[3].name, "rgb");
    EXPECT_EQ(header.fields[4].offset, 16u);
    EXPECT_EQ(header.fields[5].offset, 24u);
    EXPECT_EQ(header.fields[5].count, 3u);
    EXPECT_EQ(header.pointStep, 27u);
    EXPECT_EQ(header.width, 2u);
    EXPECT_EQ(header.height, 1u);
    EXPECT_EQ(header.points, 2u);
    EXPECT_EQ(header.dataOffset, headerBytes);
    EXPECT_EQ(vela::pcdPayloadProblem(header, full.data(), full.size()), "");
}

TEST(PcdHeader, absent_width_height_and_count_take_the_library_defaults)
{
    PcdHeader header = headerOf("FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS 2\nDATA ascii\n");
    EXPECT_EQ(header.problem, "");
    EXPECT_EQ(header.width, 2u);
    EXPECT_EQ(header.height, 1u);
    header = headerOf(fileWith("HEIGHT", ""));
    EXPECT_EQ(header.problem, "");
    EXPECT_EQ(header.height, 1u);
    header = headerOf(fileWith("COUNT", ""));
    EXPECT_EQ(header.problem, "");
    EXPECT_EQ(header.pointStep, 12u);
    EXPECT_EQ(header.fields[2].count, 1u);
    // Blank lines, comments, tabs and carriage returns are read as the library reads them.
    header = headerOf("\n# c\nFIELDS\tx y  z\r\nSIZE 4 4 4\r\nTYPE f f f\nPOINTS 1\nDATA binary\r\n" +
                      std::string(12, '\0'));
    EXPECT_EQ(header.problem, "");
    EXPECT_EQ(header.fields[1].name, "y");
}

TEST(PcdHeader, sizes_types_and_counts_outside_the_format_are_refused)
{
    EXPECT_EQ(problemOf(fileWith("SIZE", "SIZE -1 4 4")), "header line 4: SIZE '-1' of field 'x' is not 1, 2, 4 or 8");
    EXPECT_EQ(problemOf(fileWith("SIZE", "SIZE 4 4 2147483647")),
              "header line 4: SIZE '2147483647' of field 'z' is not 1, 2, 4 or 8");
    EXPECT_EQ(problemOf(fileWith("SIZE", "SIZE 4 4 3")), "header line 4: SIZE '3' of field 'z' is not 1, 2, 4 or 8");
    EXPECT_EQ(problemOf(fileWith("TYPE", "TYPE F F Q")),
              "header line 5: TYPE 'Q' with SIZE 4 of field 'z' is not a known type");
    EXPECT_EQ(problemOf(fileWith("TYPE", "TYPE F F Float")),
              "header line 5: TYPE 'Float' with SIZE 4 of field 'z' is not a known type");
    EXPECT_NE(problemOf(fileWith("COUNT", "COUNT 1 1 -1")).find("COUNT '-1' of field 'z' is not between 1 and"),
              std::string::npos);
    EXPECT_NE(problemOf(fileWith("COUNT", "COUNT 1 1 0")).find("COUNT '0'"), std::string::npos);
    EXPECT_NE(problemOf(fileWith("COUNT", "COUNT 1 1 1073741824")).find("COUNT '1073741824'"), std::string::npos);
    EXPECT_EQ(problemOf(fileWith("SIZE", "SIZE 4 4")), "header line 4: SIZE has 2 values for 3 fields");
    EXPECT_EQ(problemOf(fileWith("COUNT", "COUNT 1 1 1 1")), "header line 6: COUNT has 4 values for 3 fields");
}

TEST(PcdHeader, missing_repeated_or_misplaced_lines_are_refused)
{
    EXPECT_EQ(problemOf(""), "no DATA line");
    EXPECT_EQ(problemOf(fileWith("SIZE", "")), "no SIZE line");
    EXPECT_EQ(problemOf(fileWith("TYPE", "")), "no TYPE line");
    EXPECT_EQ(problemOf(fileWith("FIELDS", "")), "no FIELDS line");
    EXPECT_EQ(problemOf(fileWith("POINTS", "")), "no POINTS line");
    EXPECT_EQ(problemOf(fileWith("DATA", "DATA")), "header line 11: DATA needs one data type");
    EXPECT_EQ(problemOf(fileWith("DATA", "DATA text")), "header line 11: unknown DATA type 'text'");
    EXPECT_EQ(problemOf(fileWith("FIELDS", "FIELDS")), "header line 3: FIELDS names no field");
    EXPECT_EQ(problemOf(fileWith("HEIGHT", "HEIGHT 1\nWIDTH 2")), "header line 9: WIDTH given again (first on line 7)");
    // The library stops its header at the first line it does not know.
    EXPECT_EQ(problemOf(fileWith("HEIGHT", "HEIGHT 1\n   ")),
              "header line 9: '' is not a PCD header line (no DATA line before it)");
    EXPECT_EQ(problemOf(fileWith("HEIGHT", "HEIGHT 1\nCOLOR red")),
              "header line 9: 'COLOR red' is not a PCD header line (no DATA line before it)");
    EXPECT_EQ(problemOf(fileWith("HEIGHT", "HEIGHT\v1")), "header line 8: control character in HEIGHT line");
    EXPECT_EQ(problemOf("FIELDS x y z\nTYPE F F F\nSIZE 4 4 4\nPOINTS 1\nDATA ascii\n1 2 3\n"),
              "header line 2: TYPE before SIZE");
    EXPECT_EQ(problemOf("FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS 1\nCOUNT 1 1 1\nDATA ascii\n1 2 3\n"),
              "header line 4: POINTS before the field layout is complete");
    EXPECT_EQ(problemOf(fileWith("VIEWPOINT", "VIEWPOINT 0 0 0")), "header line 9: VIEWPOINT needs seven numbers");
}

TEST(PcdHeader, point_counts_that_disagree_or_overflow_are_refused)
{
    EXPECT_EQ(problemOf(fileWith("POINTS", "POINTS -1")), "header line 10: POINTS needs one whole number up to 4294967295");
    EXPECT_EQ(problemOf(fileWith("POINTS", "POINTS 3")), "WIDTH 2 x HEIGHT 1 is not POINTS 3");
    EXPECT_EQ(problemOf(fileWith("WIDTH", "WIDTH 65536")), "WIDTH 65536 x HEIGHT 1 is not POINTS 2");
    EXPECT_EQ(problemOf(fileWith("WIDTH", "WIDTH 0")), "HEIGHT 1 given without WIDTH");
    EXPECT_EQ(problemOf(fileWith("POINTS", "POINTS 0")), "WIDTH 2 x HEIGHT 1 is not POINTS 0");
    EXPECT_EQ(problemOf(binaryFile("DATA binary", "1000000000", "")),
              "POINTS 1000000000 of 12 bytes each exceed the 4 GiB the PCD reader can hold");
    // An empty cloud is sound.
    EXPECT_EQ(problemOf(binaryFile("DATA binary", "0", "")), "");
}

TEST(PcdHeader, coordinates_must_be_single_four_byte_floats)
{
    EXPECT_EQ(problemOf(fileWith("FIELDS", "FIELDS a b c")), "no field x");
    EXPECT_EQ(problemOf(fileWith("SIZE", "SIZE 4 8 4")), "field y is not a single 4-byte float (SIZE 8 TYPE F COUNT 1)");
    EXPECT_EQ(problemOf(fileWith("COUNT", "COUNT 1 1 2")), "field z is not a single 4-byte float (SIZE 4 TYPE F COUNT 2)");
    EXPECT_EQ(problemOf(fileWith("TYPE", "TYPE F I F")), "field y is not a single 4-byte float (SIZE 4 TYPE I COUNT 1)");
    // The library takes the first field that fits, wherever it stands.
    EXPECT_EQ(problemOf("FIELDS x x y z\nSIZE 8 4 4 4\nTYPE F F F F\nPOINTS 1\nDATA ascii\n1 2 3 4\n"), "");
}

TEST(PcdPayload, binary_data_must_hold_every_declared_point)
{
    EXPECT_EQ(problemOf(binaryFile("DATA binary", "2", std::string(24, 'a'))), "");
    EXPECT_EQ(problemOf(binaryFile("DATA binary", "2", std::string(23, 'a'))),
              "binary data: 23 bytes after the header, POINTS x point size needs 24");
    // A 318-byte file must not make anyone zero-fill 12 GB.
    std::string big = binaryFile("DATA binary", "300000000", "");
    big += std::string(318 - big.size(), 'a');
    EXPECT_NE(problemOf(big).find("bytes after the header, POINTS x point size needs 3600000000"), std::string::npos);
    // More fields declared than the payload holds.
    EXPECT_EQ(problemOf("FIELDS x y z w\nSIZE 4 4 4 4\nTYPE F F F F\nPOINTS 2\nDATA binary\n" + std::string(24, 'a')),
              "binary data: 24 bytes after the header, POINTS x point size needs 32");
}

TEST(PcdPayload, compressed_block_must_match_the_header_and_decompress_whole)
{
    std::vector<float> values{1, 2, 3, 4, 5, 6};
    std::vector<char> packed(256);
    const unsigned int stored = pcl::lzfCompress(values.data(), 24, packed.data(), 256);
    ASSERT_GT(stored, 0u);
    const std::string block(packed.data(), stored);
    EXPECT_EQ(problemOf(binaryFile("DATA binary_compressed", "2", sizes(stored, 24) + block)), "");

    EXPECT_EQ(problemOf(binaryFile("DATA binary_compressed", "2", sizes(stored, 0) + block)),
              "compressed data: uncompressed size 0 is not POINTS x point size = 24");
    EXPECT_EQ(problemOf(binaryFile("DATA binary_compressed", "2", sizes(stored, 0xFFFFFFFF) + block)),
              "compressed data: uncompressed size 4294967295 is not POINTS x point size = 24");
    EXPECT_EQ(problemOf(binaryFile("DATA binary_compressed", "2", sizes(stored, 36) + block)),
              "compressed data: uncompressed size 36 is not POINTS x point size = 24");
    EXPECT_EQ(problemOf(binaryFile("DATA binary_compressed", "2", sizes(stored + 1, 24) + block)),
              "compressed data: a block of " + std::to_string(stored + 1) + " bytes, only " + std::to_string(stored) +
                  " left in the file");
    EXPECT_EQ(problemOf(binaryFile("DATA binary_compressed", "2", "1234")),
              "compressed data: the block sizes are missing");
    // Four gigabytes claimed from a handful of bytes.
    EXPECT_EQ(problemOf(binaryFile("DATA binary_compressed", "357913941", sizes(3, 4294967292u) + "abc")),
              "compressed data: a block of 3 bytes cannot hold 4294967292");
    std::string damaged = block;
    damaged[0] = static_cast<char>(0xE0);  // a back reference before the start
    EXPECT_EQ(problemOf(binaryFile("DATA binary_compressed", "2", sizes(stored, 24) + damaged)),
              "compressed data: the block is damaged");
}

TEST(PcdPayload, ascii_lines_must_give_a_number_for_every_value)
{
    EXPECT_EQ(problemOf(fileWith("", "", "1 2 3\n4 5\n")), "ASCII data: point 2 has 2 values, the fields need 3");
    EXPECT_EQ(problemOf(fileWith("", "", "1 2 3\n  \n4 5 6\n")), "ASCII data: point 2 has 0 values, the fields need 3");
    EXPECT_EQ(problemOf(fileWith("", "", "1 2 3\nabc 1.5abc 7\n")), "ASCII data: point 2: 'abc' is not a number");
    EXPECT_EQ(problemOf(fileWith("", "", "1 2 3\n0x10 2 3\n")), "ASCII data: point 2: '0x10' is not a number");
    EXPECT_EQ(problemOf(fileWith("", "", "1 2 3\n")), "ASCII data holds 1 points, POINTS says 2");
    // Empty lines are skipped, lines beyond POINTS never read, the last
    // line needs no newline, and non-finite values are numbers.
    EXPECT_EQ(problemOf(fileWith("", "", "\n1 2 3\r\n\nnan -Inf 1e39\nnot read")), "");
    EXPECT_EQ(problemOf(fileWith("", "", "1 2 3\n4 5 6")), "");
    // Values of padding fields are skipped unread.
    EXPECT_EQ(problemOf("FIELDS x y z _\nSIZE 4 4 4 1\nTYPE F F F U\nCOUNT 1 1 1 2\nPOINTS 1\nDATA ascii\n1 2 3 ? ?\n"),
              "");
}

TEST(PcdNumber, decimal_notation_and_non_finite_words_only)
{
    for (const char* yes : {"0", "-1", "+2.5", "1.", ".5", "1e5", "-1.5E-07", "nan", "NaN", "-nan", "inf", "-Inf",
                            "infinity"})
        EXPECT_TRUE(vela::isPcdNumber(yes)) << yes;
    for (const char* no : {"", "-", ".", "e5", "1e", "1e+", "1.5abc", "0x10", "1,5", "nanx", "in", "--1"})
        EXPECT_FALSE(vela::isPcdNumber(no)) << no;
}
