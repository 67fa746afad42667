#include "las_reader.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace velaseg {

namespace {

// Records are decoded from blocks of about this size, so a file costs a few
// large reads instead of one call per point.
constexpr std::size_t kBlockBytes = std::size_t(4) << 20;

// Point data formats 0 to 10: the size of the standard fields of a record
// and where its colour starts (-1: no colour).
struct PointFormatLayout {
    std::size_t minLength;
    int colourOffset;
};

constexpr PointFormatLayout kLayouts[kLasMaxPointFormat + 1] = {
    {20, -1},  // 0: core fields
    {28, -1},  // 1: + GPS time
    {26, 20},  // 2: + RGB
    {34, 28},  // 3: + GPS time, RGB
    {57, -1},  // 4: 1 + wave packet
    {63, 28},  // 5: 3 + wave packet
    {30, -1},  // 6: extended core fields with GPS time
    {36, 30},  // 7: 6 + RGB
    {38, 30},  // 8: 7 + NIR
    {59, -1},  // 9: 6 + wave packet
    {67, 30},  // 10: 8 + wave packet
};

// LAS is little-endian whatever the host. Assembling the value byte by byte
// is portable; compilers turn it into a single load on little-endian hosts.
std::uint16_t u16At(const std::uint8_t* at)
{
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

std::uint32_t u32At(const std::uint8_t* at)
{
    return std::uint32_t(at[0]) | (std::uint32_t(at[1]) << 8) | (std::uint32_t(at[2]) << 16) |
           (std::uint32_t(at[3]) << 24);
}

std::uint64_t u64At(const std::uint8_t* at)
{
    return std::uint64_t(u32At(at)) | (std::uint64_t(u32At(at + 4)) << 32);
}

std::int32_t i32At(const std::uint8_t* at)
{
    const std::uint32_t bits = u32At(at);
    std::int32_t value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

double f64At(const std::uint8_t* at)
{
    const std::uint64_t bits = u64At(at);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Field offsets of the public header block.
constexpr std::size_t kVersionMajorAt = 24;
constexpr std::size_t kVersionMinorAt = 25;
constexpr std::size_t kHeaderSizeAt = 94;
constexpr std::size_t kPointDataOffsetAt = 96;
constexpr std::size_t kPointFormatAt = 104;
constexpr std::size_t kRecordLengthAt = 105;
constexpr std::size_t kLegacyCountAt = 107;
constexpr std::size_t kScaleAt = 131;
constexpr std::size_t kOffsetAt = 155;
constexpr std::size_t kExtendedCountAt = 247;

// Compressed (LAZ) point data is marked by bit 7 of the format byte; early
// compressors used bit 6.
constexpr std::uint8_t kCompressionBits = 0xC0;

bool refuse(const std::string& fileName, const std::string& reason)
{
    std::cerr << "las reader: " << fileName << ": " << reason << std::endl;
    std::cout << "ERROR: could not open lasreader" << std::endl;
    return false;
}

// Decodes `count` records of `header`'s layout, appending one point each.
void decodeRecords(const std::uint8_t* records, std::size_t count, const LasHeader& header,
                   std::vector<VELA::SVPoint3d>& points)
{
    const std::size_t length = header.recordLength;
    const int colourAt = lasColourOffset(header.pointFormatByte);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* record = records + i * length;
        VELA::SVPoint3d point(i32At(record) * header.scale[0] + header.offset[0],
                              i32At(record + 4) * header.scale[1] + header.offset[1],
                              i32At(record + 8) * header.scale[2] + header.offset[2]);
        if (colourAt >= 0) {
            // The low byte of each 16-bit channel, unscaled: 0xFF80 gives 0x80.
            point.r = static_cast<std::uint8_t>(u16At(record + colourAt) & 0xFF);
            point.g = static_cast<std::uint8_t>(u16At(record + colourAt + 2) & 0xFF);
            point.b = static_cast<std::uint8_t>(u16At(record + colourAt + 4) & 0xFF);
        }
        points.push_back(point);
    }
}

// Reads the point records after a valid header; returns how many were read.
std::uint64_t readRecords(std::ifstream& in, const LasHeader& header, std::uint64_t fileSize,
                          std::vector<VELA::SVPoint3d>& points)
{
    const std::size_t length = header.recordLength;
    // The header's count may be absurd: never plan for more records than the
    // file can hold.
    const std::uint64_t fitting = (fileSize - header.pointDataOffset) / length;
    const std::uint64_t wanted = std::min(header.pointCount, fitting);
    points.reserve(points.size() + static_cast<std::size_t>(wanted));

    const std::size_t perBlock = std::max<std::size_t>(1, kBlockBytes / length);
    std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::uint64_t>(perBlock, wanted)) * length);
    in.seekg(static_cast<std::streamoff>(header.pointDataOffset));
    std::uint64_t done = 0;
    while (done < wanted && in) {
        const std::size_t asked = static_cast<std::size_t>(std::min<std::uint64_t>(perBlock, wanted - done));
        in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(asked * length));
        // A short read (file shrunk, I/O error) keeps the whole records it got.
        const std::size_t got = static_cast<std::size_t>(in.gcount()) / length;
        decodeRecords(block.data(), got, header, points);
        done += got;
        if (got < asked) {
            break;
        }
    }
    return done;
}

}  // namespace

std::size_t lasPointRecordMinLength(int format)
{
    return format >= 0 && format <= kLasMaxPointFormat ? kLayouts[format].minLength : 0;
}

int lasColourOffset(int format)
{
    return format >= 0 && format <= kLasMaxPointFormat ? kLayouts[format].colourOffset : -1;
}

LasHeader decodeLasHeader(const std::uint8_t* bytes, std::size_t size)
{
    LasHeader header;
    header.bytesSeen = size;
    header.hasSignature = size >= 4 && std::memcmp(bytes, "LASF", 4) == 0;
    if (size < kLasHeaderSize) {
        return header;
    }
    header.versionMajor = bytes[kVersionMajorAt];
    header.versionMinor = bytes[kVersionMinorAt];
    header.headerSize = u16At(bytes + kHeaderSizeAt);
    header.pointDataOffset = u32At(bytes + kPointDataOffsetAt);
    header.pointFormatByte = bytes[kPointFormatAt];
    header.recordLength = u16At(bytes + kRecordLengthAt);
    header.legacyPointCount = u32At(bytes + kLegacyCountAt);
    for (int axis = 0; axis < 3; ++axis) {
        header.scale[axis] = f64At(bytes + kScaleAt + 8 * axis);
        header.offset[axis] = f64At(bytes + kOffsetAt + 8 * axis);
    }
    // The 64-bit count exists only in a 1.4 header that is long enough to
    // hold it; a short 1.4 header is read like an older one.
    if (header.versionMajor == 1 && header.versionMinor >= 4 && header.headerSize >= kLas14HeaderSize &&
        size >= kLas14HeaderSize) {
        header.extendedPointCount = u64At(bytes + kExtendedCountAt);
    }
    // Formats 6 to 10 and files beyond 4 billion points leave the legacy
    // count at 0 and only fill the 64-bit one.
    header.pointCount = header.legacyPointCount != 0 ? header.legacyPointCount : header.extendedPointCount;
    return header;
}

std::string lasHeaderProblem(const LasHeader& header, std::uint64_t fileSize)
{
    std::ostringstream reason;
    if (!header.hasSignature) {
        reason << "not a LAS file (no \"LASF\" signature)";
    } else if (header.bytesSeen < kLasHeaderSize) {
        reason << "header too short: the file has " << fileSize << " bytes, a LAS header needs " << kLasHeaderSize;
    } else if (header.headerSize < kLasHeaderSize) {
        reason << "header size " << header.headerSize << " smaller than the " << kLasHeaderSize
               << " bytes of a LAS header";
    } else if (header.headerSize > fileSize) {
        reason << "header size " << header.headerSize << " beyond end of file (" << fileSize << " bytes)";
    } else if (header.versionMajor != 1 || header.versionMinor > 4) {
        reason << "unsupported LAS version " << header.versionMajor << "." << header.versionMinor;
    } else if ((header.pointFormatByte & kCompressionBits) != 0) {
        reason << "compressed LAZ point data (point format byte 0x" << std::hex << int(header.pointFormatByte)
               << std::dec << ") is not supported";
    } else if (header.pointFormatByte > kLasMaxPointFormat) {
        reason << "unknown point format " << int(header.pointFormatByte);
    } else if (header.recordLength < lasPointRecordMinLength(header.pointFormatByte)) {
        reason << "point record length " << header.recordLength << " shorter than the "
               << lasPointRecordMinLength(header.pointFormatByte) << " bytes point format "
               << int(header.pointFormatByte) << " needs";
    } else if (header.pointDataOffset < header.headerSize) {
        reason << "point data offset " << header.pointDataOffset << " inside the header (" << header.headerSize
               << " bytes)";
    } else if (header.pointDataOffset > fileSize) {
        reason << "point data offset " << header.pointDataOffset << " beyond end of file (" << fileSize
               << " bytes)";
    }
    return reason.str();
}

bool readLasFile(std::string fileName, std::vector<VELA::SVPoint3d>& points)
{
    std::error_code error;
    if (fileName.empty() || !std::filesystem::is_regular_file(fileName, error)) {
        std::cout << "ERROR: no input specified" << std::endl;
        return false;
    }
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        return refuse(fileName, "the file cannot be opened for reading");
    }
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    in.seekg(0, std::ios::beg);
    if (end < 0 || !in) {
        return refuse(fileName, "the size of the file cannot be determined");
    }
    const std::uint64_t fileSize = static_cast<std::uint64_t>(end);

    std::uint8_t head[kLas14HeaderSize];
    const std::size_t headBytes = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, sizeof head));
    in.read(reinterpret_cast<char*>(head), static_cast<std::streamsize>(headBytes));
    if (static_cast<std::size_t>(in.gcount()) != headBytes) {
        return refuse(fileName, "the header cannot be read");
    }
    const LasHeader header = decodeLasHeader(head, headBytes);
    const std::string problem = lasHeaderProblem(header, fileSize);
    if (!problem.empty()) {
        return refuse(fileName, problem);
    }

    const std::uint64_t read = readRecords(in, header, fileSize, points);
    if (read < header.pointCount) {
        std::cerr << "las reader: " << fileName << ": file ended early: read " << read << " of "
                  << header.pointCount << " points; keeping those" << std::endl;
    }
    std::cout << "the total number of points is: " << points.size() << std::endl;
    return true;
}

}  // namespace velaseg
