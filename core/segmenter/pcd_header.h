// The checks a PCD file passes before the point cloud library reads it. The
// library's reader trusts its header: it sizes buffers from POINTS before
// looking at the file, lets sizes and counts overflow, dereferences tokens
// that are not there and reads past the payload. So the header is read here
// first, line by line as the library reads it, and refused unless every
// number in it is consistent with the others and with the bytes that follow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vela {

// Limits beyond which a header is refused. A point record of a megabyte or a
// field of a million values is far beyond any real descriptor; point data of
// 4 GiB or more overflows the library's 32-bit index arithmetic.
constexpr std::uint64_t kPcdMaxPointBytes = std::uint64_t(1) << 20;
constexpr std::uint64_t kPcdMaxCount = std::uint64_t(1) << 20;
constexpr std::uint64_t kPcdMaxDataBytes = (std::uint64_t(1) << 32) - 1;
// LZF turns at most 3 bytes into 264 (one back reference of the longest
// length), so a block that claims more than 88 bytes per stored byte is damaged.
constexpr std::uint64_t kLzfMaxExpansion = 88;

enum class PcdData { ascii, binary, binaryCompressed };

struct PcdField {
    std::string name;
    int size = 4;      // bytes per value
    char type = 'F';   // as written: I, U, F or B in either case
    std::uint32_t count = 1;
    std::uint32_t offset = 0;  // of its first value within a point record
};

// What the header says, with the library's defaults filled in (no WIDTH and
// HEIGHT: one row of POINTS; no COUNT: one value per field).
struct PcdHeader {
    std::vector<PcdField> fields;
    std::uint32_t pointStep = 0;  // bytes per point record
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint64_t points = 0;
    PcdData data = PcdData::ascii;
    std::size_t dataOffset = 0;  // first byte after the DATA line
    std::string problem;         // why the file cannot be read; empty when it can
};

// Reads the header of the PCD file held in `bytes`, up to its DATA line.
PcdHeader readPcdHeader(const char* bytes, std::size_t size);

// Why the payload after a sound header does not hold what the header
// promises; empty when it does. Compressed blocks are decompressed once to
// make sure they are whole.
std::string pcdPayloadProblem(const PcdHeader& header, const char* bytes, std::size_t size);

// Whether a value of an ASCII payload is a number the library reads as one:
// decimal notation, or nan or inf in any case and with a sign.
bool isPcdNumber(const std::string& token);

}  // namespace vela
