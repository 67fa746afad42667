#include "las_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>

#include "las_reader.h"
#include "little_endian.h"

namespace velaseg {

namespace {

constexpr std::size_t kBlockBytes = std::size_t(1) << 20;

void putText(std::uint8_t* at, const char* text, std::size_t field)
{
    std::memcpy(at, text, std::min(std::strlen(text), field));
}

bool fail(const std::string& fileName, const std::string& reason)
{
    std::cerr << "las writer: " << fileName << ": " << reason << std::endl;
    return false;
}

std::size_t standardHeaderSize(int versionMinor)
{
    if (versionMinor >= 4) return kLas14HeaderSize;
    if (versionMinor == 3) return kLas13HeaderSize;
    return kLasHeaderSize;
}

// The stored integers of every point, checked to fit 32 bits.
bool quantise(const std::vector<VELA::SVPoint3d>& points, const LasWriteOptions& options,
              std::vector<std::int32_t>& stored, std::string& reason)
{
    stored.resize(points.size() * 3);
    for (std::size_t i = 0; i < points.size(); ++i) {
        const double coordinates[3] = {points[i].x, points[i].y, points[i].z};
        for (int axis = 0; axis < 3; ++axis) {
            const double scaled = std::round((coordinates[axis] - options.offset[axis]) / options.scale[axis]);
            if (!(scaled >= std::numeric_limits<std::int32_t>::min() &&
                  scaled <= std::numeric_limits<std::int32_t>::max())) {
                std::ostringstream message;
                message.precision(17);
                message << "coordinate " << coordinates[axis] << " of point " << i
                        << " does not fit 32 bits with scale " << options.scale[axis] << " and offset "
                        << options.offset[axis];
                reason = message.str();
                return false;
            }
            stored[3 * i + axis] = static_cast<std::int32_t>(scaled);
        }
    }
    return true;
}

void encodeRecord(std::uint8_t* record, const std::int32_t* xyz, const std::array<std::uint16_t, 3>& rgb,
                  int format, std::size_t length)
{
    std::memset(record, 0, length);
    for (int axis = 0; axis < 3; ++axis) {
        put32(record + 4 * axis, static_cast<std::uint32_t>(xyz[axis]));
    }
    // First of one return, class 1 (unclassified): what a plain scan holds.
    if (format <= 5) {
        record[14] = 0x09;
        record[15] = 1;
    } else {
        record[14] = 0x11;
        record[16] = 1;
    }
    const int colourAt = lasColourOffset(format);
    if (colourAt >= 0) {
        for (int c = 0; c < 3; ++c) {
            put16(record + colourAt + 2 * c, rgb[c]);
        }
    }
    const std::size_t standard = lasPointRecordMinLength(format);
    for (std::size_t i = standard; i < length; ++i) {
        record[i] = static_cast<std::uint8_t>(0xE0 + (i - standard) % 16);
    }
}

// Why the options cannot be written, or empty when they can.
std::string checkOptions(const LasWriteOptions& options, std::uint64_t count)
{
    if (options.versionMinor < 0 || options.versionMinor > 4) {
        return "LAS version 1." + std::to_string(options.versionMinor) + " is not written";
    }
    if (options.pointFormat < 0 || options.pointFormat > kLasMaxPointFormat) {
        return "unknown point format " + std::to_string(options.pointFormat);
    }
    for (int axis = 0; axis < 3; ++axis) {
        if (!(std::isfinite(options.scale[axis]) && options.scale[axis] > 0.0 &&
              std::isfinite(options.offset[axis]))) {
            return "scale factors must be positive and offsets finite";
        }
    }
    if (!options.colours16.empty() && options.colours16.size() != count) {
        return "16-bit colours given for " + std::to_string(options.colours16.size()) + " points, but there are " +
               std::to_string(count);
    }
    if (options.versionMinor < 4 && count > std::numeric_limits<std::uint32_t>::max()) {
        return "more than 4294967295 points need LAS 1.4";
    }
    if (lasPointRecordMinLength(options.pointFormat) + options.extraBytes > std::numeric_limits<std::uint16_t>::max()) {
        return "point record longer than 65535 bytes";
    }
    const std::size_t headerSize = standardHeaderSize(options.versionMinor) + options.extraHeaderBytes;
    if (headerSize > std::numeric_limits<std::uint16_t>::max()) {
        return "header longer than 65535 bytes";
    }
    if (headerSize + std::uint64_t(options.gapBeforePoints) > std::numeric_limits<std::uint32_t>::max()) {
        return "point data offset beyond 32 bits";
    }
    return std::string();
}

// The header block and the gap after it, up to the first point record.
std::vector<std::uint8_t> encodeHeader(const std::vector<std::int32_t>& stored, std::uint64_t count,
                                       const LasWriteOptions& options)
{
    const std::size_t headerSize = standardHeaderSize(options.versionMinor) + options.extraHeaderBytes;
    const std::uint64_t pointDataOffset = headerSize + std::uint64_t(options.gapBeforePoints);
    const std::size_t recordLength = lasPointRecordMinLength(options.pointFormat) + options.extraBytes;

    // Bounds of what is stored, not of the input, so they hold for the reader.
    double low[3] = {0.0, 0.0, 0.0};
    double high[3] = {0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < count; ++i) {
        for (int axis = 0; axis < 3; ++axis) {
            const double value = stored[3 * i + axis] * options.scale[axis] + options.offset[axis];
            low[axis] = i == 0 ? value : std::min(low[axis], value);
            high[axis] = i == 0 ? value : std::max(high[axis], value);
        }
    }

    // A 1.4 file leaves the legacy count at 0 where it cannot hold the count:
    // formats 6 to 10, or more than 32 bits of points.
    const bool legacyHolds = options.versionMinor < 4 ||
                             (options.pointFormat <= 5 && count <= std::numeric_limits<std::uint32_t>::max());
    const std::uint32_t legacyCount = legacyHolds ? static_cast<std::uint32_t>(count) : 0;

    std::vector<std::uint8_t> head(static_cast<std::size_t>(pointDataOffset), 0);
    std::memcpy(head.data(), "LASF", 4);
    head[24] = 1;
    head[25] = static_cast<std::uint8_t>(options.versionMinor);
    putText(&head[26], "velaseg", 32);
    putText(&head[58], "velaseg", 32);
    put16(&head[94], static_cast<std::uint16_t>(headerSize));
    put32(&head[96], static_cast<std::uint32_t>(pointDataOffset));
    head[104] = static_cast<std::uint8_t>(options.pointFormat);
    put16(&head[105], static_cast<std::uint16_t>(recordLength));
    put32(&head[107], legacyCount);
    put32(&head[111], legacyCount);  // all points are first returns
    for (int axis = 0; axis < 3; ++axis) {
        putF64(&head[131 + 8 * axis], options.scale[axis]);
        putF64(&head[155 + 8 * axis], options.offset[axis]);
        putF64(&head[179 + 16 * axis], high[axis]);
        putF64(&head[187 + 16 * axis], low[axis]);
    }
    if (options.versionMinor >= 4) {
        put64(&head[247], count);
        put64(&head[255], count);
    }
    for (std::size_t i = standardHeaderSize(options.versionMinor); i < head.size(); ++i) {
        head[i] = 0xAB;  // neither header fields nor points: readers must skip it
    }
    return head;
}

// The point records, encoded and written a block at a time.
void writeRecords(std::ofstream& out, const std::vector<VELA::SVPoint3d>& points,
                  const std::vector<std::int32_t>& stored, const LasWriteOptions& options)
{
    const std::size_t recordLength = lasPointRecordMinLength(options.pointFormat) + options.extraBytes;
    const std::size_t perBlock = std::max<std::size_t>(1, kBlockBytes / recordLength);
    std::vector<std::uint8_t> block(std::min(perBlock, points.size()) * recordLength);
    for (std::size_t first = 0; first < points.size() && out; first += perBlock) {
        const std::size_t n = std::min(perBlock, points.size() - first);
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t i = first + k;
            const VELA::SVPoint3d& p = points[i];
            const std::array<std::uint16_t, 3> rgb =
                options.colours16.empty()
                    ? std::array<std::uint16_t, 3>{std::uint16_t(p.r * 257), std::uint16_t(p.g * 257),
                                                   std::uint16_t(p.b * 257)}
                    : options.colours16[i];
            encodeRecord(&block[k * recordLength], &stored[3 * i], rgb, options.pointFormat, recordLength);
        }
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n * recordLength));
    }
}

}  // namespace

bool writeLasFile(const std::string& fileName, const std::vector<VELA::SVPoint3d>& points,
                  const LasWriteOptions& options)
{
    const std::string invalid = checkOptions(options, points.size());
    if (!invalid.empty()) {
        return fail(fileName, invalid);
    }
    std::vector<std::int32_t> stored;
    std::string reason;
    if (!quantise(points, options, stored, reason)) {
        return fail(fileName, reason);
    }
    const std::vector<std::uint8_t> head = encodeHeader(stored, points.size(), options);

    std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
    if (!out) {
        return fail(fileName, "the file cannot be created");
    }
    out.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
    writeRecords(out, points, stored, options);
    out.close();
    if (!out) {
        return fail(fileName, "writing the file failed");
    }
    return true;
}

}  // namespace velaseg
