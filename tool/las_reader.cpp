#include "las_reader.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "laz/laszip_vlr.h"
#include "laz/laz_decoder.h"
#include "little_endian.h"
#include "vela_large_pages.h"
#include "vela_plane.h"

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

// Field offsets of the public header block.
constexpr std::size_t kVersionMajorAt = 24;
constexpr std::size_t kVersionMinorAt = 25;
constexpr std::size_t kHeaderSizeAt = 94;
constexpr std::size_t kPointDataOffsetAt = 96;
constexpr std::size_t kVlrCountAt = 100;
constexpr std::size_t kPointFormatAt = 104;
constexpr std::size_t kRecordLengthAt = 105;
constexpr std::size_t kLegacyCountAt = 107;
constexpr std::size_t kScaleAt = 131;
constexpr std::size_t kOffsetAt = 155;
constexpr std::size_t kFirstEvlrAt = 235;
constexpr std::size_t kEvlrCountAt = 243;
constexpr std::size_t kExtendedCountAt = 247;

// Compressed (LAZ) point data is marked by bit 7 of the format byte; early
// compressors used bit 6.
constexpr std::uint8_t kCompressionBits = 0xC0;

// A LAZ file stores a point in a few bytes at best; reserving room for up to
// this many points per file byte covers real files without letting a
// hostile count reserve what the file cannot hold.
constexpr std::uint64_t kLazReservePointsPerByte = 16;

void warn(const std::string& fileName, const std::string& what)
{
    std::cerr << "las reader: " << fileName << ": " << what << std::endl;
}

LasReadStatus refuse(const std::string& fileName, const std::string& reason)
{
    warn(fileName, reason);
    return LasReadStatus::refused;
}

// The file's bytes, mapped read-only: LAZ chunks are decoded in place.
struct MappedFile {
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;

    MappedFile(const std::string& fileName, std::size_t fileSize)
    {
        const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || fileSize == 0) {
            if (fd >= 0) {
                ::close(fd);
            }
            return;
        }
        void* mapped = ::mmap(nullptr, fileSize, PROT_READ, MAP_PRIVATE, fd, 0);
        ::close(fd);
        if (mapped != MAP_FAILED) {
            bytes = static_cast<const std::uint8_t*>(mapped);
            size = fileSize;
        }
    }
    ~MappedFile()
    {
        if (bytes != nullptr) {
            ::munmap(const_cast<std::uint8_t*>(bytes), size);
        }
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
};

bool hasWavePackets(const laz::LaszipVlr& vlr)
{
    return std::any_of(vlr.items.begin(), vlr.items.end(), [](const laz::LazItem& item) {
        return item.type == laz::kItemWavePacket13 || item.type == laz::kItemWavePacket14;
    });
}

// Reads the public header block from the start of `in` and checks it; the
// reason when the file cannot be read as LAS.
std::string readValidHeader(std::ifstream& in, LasHeader& header, std::uint64_t& fileSize)
{
    if (!in) {
        return "the file cannot be opened for reading";
    }
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    in.seekg(0, std::ios::beg);
    if (end < 0 || !in) {
        return "the size of the file cannot be determined";
    }
    fileSize = static_cast<std::uint64_t>(end);
    std::uint8_t head[kLas14HeaderSize];
    const std::size_t headBytes = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, sizeof head));
    in.read(reinterpret_cast<char*>(head), static_cast<std::streamsize>(headBytes));
    if (static_cast<std::size_t>(in.gcount()) != headBytes) {
        return "the header cannot be read";
    }
    header = decodeLasHeader(head, headBytes);
    return lasHeaderProblem(header, fileSize);
}

// Decodes the LAZ point area of a mapped file whose header was validated.
LasReadStatus readLazRecords(const std::string& fileName, const MappedFile& file, const laz::LaszipVlr& vlr,
                             LasFields fields, const LasHeader& header, const LasRecordSink& sink)
{
    if (hasWavePackets(vlr)) {
        warn(fileName, "point format " + std::to_string(header.pointFormat) +
                           " carries wave packets; the points are read, their waveforms are not");
    }
    laz::LazPointArea area;
    area.pointDataOffset = header.pointDataOffset;
    area.pointCount = header.pointCount;
    // Extended VLRs follow the point data; without a chunk table the chunks
    // must end before them.
    area.dataEnd = file.size;
    if (header.firstEvlrOffset > header.pointDataOffset && header.firstEvlrOffset < file.size) {
        area.dataEnd = header.firstEvlrOffset;
    }
    laz::LazDecodeOptions options;
    options.coordinatesAndColour = fields == LasFields::coordinatesAndColour;
    options.threads = VELA::VELA_ThreadCount();
    const laz::LazDecodeReport report = laz::decodeLazPoints(file.bytes, file.size, vlr, area, options, sink);
    if (report.lost != 0) {
        warn(fileName, "read " + std::to_string(report.delivered) + " of " + std::to_string(header.pointCount) +
                           " points, " + std::to_string(report.lost) + " lost: " + report.lossReason +
                           "; keeping those read");
    } else if (!report.note.empty()) {
        warn(fileName, report.note);
    }
    return LasReadStatus::read;
}

// Decodes `count` records of `header`'s layout, appending one point each.
void decodeRecords(const std::uint8_t* records, std::size_t count, const LasHeader& header,
                   std::vector<VELA::SVPoint3d>& points)
{
    const std::size_t length = header.recordLength;
    const int colourAt = lasColourOffset(header.pointFormat);
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

// Reads the uncompressed point records after a valid header; returns how
// many were read.
std::uint64_t readRecords(std::ifstream& in, const LasHeader& header, std::uint64_t fileSize,
                          const LasRecordSink& sink)
{
    const std::size_t length = header.recordLength;
    // The header's count may be absurd: never plan for more records than the
    // file can hold.
    const std::uint64_t fitting = (fileSize - header.pointDataOffset) / length;
    const std::uint64_t wanted = std::min(header.pointCount, fitting);

    const std::size_t perBlock = std::max<std::size_t>(1, kBlockBytes / length);
    std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::uint64_t>(perBlock, wanted)) * length);
    in.seekg(static_cast<std::streamoff>(header.pointDataOffset));
    std::uint64_t done = 0;
    while (done < wanted && in) {
        const std::size_t asked = static_cast<std::size_t>(std::min<std::uint64_t>(perBlock, wanted - done));
        in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(asked * length));
        // A short read (file shrunk, I/O error) keeps the whole records it got.
        const std::size_t got = static_cast<std::size_t>(in.gcount()) / length;
        if (got > 0) {
            sink(block.data(), got);
        }
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
    header.vlrCount = u32At(bytes + kVlrCountAt);
    header.pointFormatByte = bytes[kPointFormatAt];
    header.pointFormat = header.pointFormatByte & ~kCompressionBits;
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
        header.firstEvlrOffset = u64At(bytes + kFirstEvlrAt);
        header.evlrCount = u32At(bytes + kEvlrCountAt);
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
    } else if (header.pointFormat > kLasMaxPointFormat) {
        reason << "unknown point format " << header.pointFormat;
    } else if (header.recordLength < lasPointRecordMinLength(header.pointFormat)) {
        reason << "point record length " << header.recordLength << " shorter than the "
               << lasPointRecordMinLength(header.pointFormat) << " bytes point format " << header.pointFormat
               << " needs";
    } else if (header.pointDataOffset < header.headerSize) {
        reason << "point data offset " << header.pointDataOffset << " inside the header (" << header.headerSize
               << " bytes)";
    } else if (header.pointDataOffset > fileSize) {
        reason << "point data offset " << header.pointDataOffset << " beyond end of file (" << fileSize
               << " bytes)";
    }
    return reason.str();
}

LasReadStatus readLasRecords(const std::string& fileName, LasFields fields, LasHeader& header,
                             const LasRecordSink& sink)
{
    std::error_code error;
    if (fileName.empty() || !std::filesystem::is_regular_file(fileName, error)) {
        return LasReadStatus::noFile;
    }
    std::ifstream in(fileName, std::ios::binary);
    std::uint64_t fileSize = 0;
    const std::string problem = readValidHeader(in, header, fileSize);
    if (!problem.empty()) {
        return refuse(fileName, problem);
    }

    // Compressed is what the LASzip VLR says; the format byte's bits only
    // confirm it.
    const MappedFile file(fileName, static_cast<std::size_t>(fileSize));
    if (file.bytes == nullptr) {
        return refuse(fileName, "the file cannot be mapped into memory");
    }
    const laz::LaszipVlrPlace place = laz::findLaszipVlr(file.bytes, file.size, header.headerSize, header.vlrCount,
                                                         header.firstEvlrOffset, header.evlrCount);
    const bool marked = (header.pointFormatByte & kCompressionBits) != 0;
    std::ostringstream formatByte;
    formatByte << "point format byte 0x" << std::hex << int(header.pointFormatByte);
    if (!place.found) {
        if (marked) {
            return refuse(fileName, "compressed LAZ point data (" + formatByte.str() + ") without a laszip VLR");
        }
        const std::uint64_t read = readRecords(in, header, fileSize, sink);
        if (read < header.pointCount) {
            warn(fileName, "file ended early: read " + std::to_string(read) + " of " +
                               std::to_string(header.pointCount) + " points; keeping those");
        }
        return LasReadStatus::read;
    }
    laz::LaszipVlr vlr;
    const std::string vlrProblem = laz::parseLaszipVlr(file.bytes + place.payloadAt, place.payloadSize,
                                                       header.pointFormat, header.recordLength, vlr);
    if (!vlrProblem.empty()) {
        return refuse(fileName, vlrProblem);
    }
    if (!marked) {
        warn(fileName, "a laszip VLR describes the points but the " + formatByte.str() +
                           " does not mark them compressed; decoding them as LAZ");
    }
    header.compressed = true;
    return readLazRecords(fileName, file, vlr, fields, header, sink);
}

bool readLasFile(std::string fileName, std::vector<VELA::SVPoint3d>& points)
{
    LasHeader header;
    bool reserved = false;
    const auto keep = [&](const std::uint8_t* records, std::size_t count) {
        if (!reserved) {
            reserved = true;
            // The header's count may be absurd: never plan for more points
            // than the file can hold.
            std::error_code sizeError;
            const std::uint64_t size = std::filesystem::file_size(fileName, sizeError);
            const std::uint64_t bytes = sizeError || size < header.pointDataOffset ? 0 : size - header.pointDataOffset;
            const std::uint64_t fitting =
                header.compressed ? bytes * kLazReservePointsPerByte : bytes / header.recordLength;
            vela::reserveOnLargePages(points, points.size() + static_cast<std::size_t>(std::min(header.pointCount, fitting)));
        }
        decodeRecords(records, count, header, points);
    };
    switch (readLasRecords(fileName, LasFields::coordinatesAndColour, header, keep)) {
    case LasReadStatus::noFile: std::cout << "ERROR: no input specified" << std::endl; return false;
    case LasReadStatus::refused: std::cout << "ERROR: could not open lasreader" << std::endl; return false;
    case LasReadStatus::read: break;
    }
    std::cout << "the total number of points is: " << points.size() << std::endl;
    return true;
}

}  // namespace velaseg
