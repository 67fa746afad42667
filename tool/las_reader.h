// LAS input: every point record of a LAS file as an SVPoint3d with
// full-precision coordinates and 8-bit colour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "vela_plane.h"

namespace velaseg {

// Sizes of the public header block: LAS 1.0 to 1.2, 1.3 (waveform start
// added) and 1.4 (extended VLRs and 64-bit point counts added).
constexpr std::size_t kLasHeaderSize = 227;
constexpr std::size_t kLas13HeaderSize = 235;
constexpr std::size_t kLas14HeaderSize = 375;

constexpr int kLasMaxPointFormat = 10;

// Bytes a point record of `format` needs at least; 0 for an unknown format.
std::size_t lasPointRecordMinLength(int format);

// Offset of the 16-bit red, green and blue values inside a record of
// `format`; -1 for formats that carry no colour.
int lasColourOffset(int format);

// What the reader takes from the public header block.
struct LasHeader {
    std::size_t bytesSeen = 0;     // header bytes that were available to decode
    bool hasSignature = false;     // starts with "LASF"
    int versionMajor = 0;
    int versionMinor = 0;
    std::uint16_t headerSize = 0;
    std::uint32_t pointDataOffset = 0;
    std::uint32_t vlrCount = 0;
    std::uint8_t pointFormatByte = 0;  // as stored, compression bits included
    int pointFormat = 0;               // without the compression bits
    std::uint16_t recordLength = 0;    // of an uncompressed record
    std::uint32_t legacyPointCount = 0;
    std::uint64_t extendedPointCount = 0;  // LAS 1.4 only, 0 otherwise
    std::uint64_t pointCount = 0;          // the count the reader goes by
    double scale[3] = {0.0, 0.0, 0.0};
    double offset[3] = {0.0, 0.0, 0.0};
    std::uint64_t firstEvlrOffset = 0;  // LAS 1.4 only
    std::uint32_t evlrCount = 0;        // LAS 1.4 only
    bool compressed = false;            // LAZ: set by readLasRecords, not by decodeLasHeader
};

// Decodes the first `size` bytes of a file as a LAS public header block.
// Fields that lie beyond `size` (or beyond the header size the block
// declares) stay 0.
LasHeader decodeLasHeader(const std::uint8_t* bytes, std::size_t size);

// Why a file of `fileSize` bytes with this header cannot be read as LAS; an
// empty string when it can.
std::string lasHeaderProblem(const LasHeader& header, std::uint64_t fileSize);

// Which fields of the point records a caller reads. Compressed files are
// decoded only as far as these need: with `coordinatesAndColour`, the other
// fields of a layered LAZ file (point formats 6 to 10) keep, within each
// chunk, the value of the chunk's first point.
enum class LasFields { all, coordinatesAndColour };

// Gets the next `count` point records in file order, each
// header.recordLength bytes laid out as in an uncompressed LAS file.
using LasRecordSink = std::function<void(const std::uint8_t* records, std::size_t count)>;

enum class LasReadStatus { read, noFile, refused };

// Reads the header of `fileName` into `header`, then hands its point records
// to `sink`, uncompressed and in file order, whether the file holds them as
// LAS or as LAZ (decided by content, not by name; header.compressed tells).
// The records of a LAZ file are byte for byte those of its uncompressed
// twin. Refusals, damage and losses are reported on standard error, one line
// each, naming the file; nothing goes to standard output. `noFile`: no
// regular file at that path; `refused`: not a readable LAS or LAZ file,
// `sink` was not called; `read`: the header's points, or those that survived
// damage, were delivered.
//
// Example, copying the records:
//     LasHeader header;
//     std::vector<std::uint8_t> bytes;
//     readLasRecords(name, LasFields::all, header, [&](const std::uint8_t* r, std::size_t n) {
//         bytes.insert(bytes.end(), r, r + n * header.recordLength);
//     });
// LAZ chunks are decoded on VELASEG_THREADS threads; the records and their
// order do not depend on it.
LasReadStatus readLasRecords(const std::string& fileName, LasFields fields, LasHeader& header,
                             const LasRecordSink& sink);

// Appends the points of `fileName` in file order and prints the count line.
// False, with nothing appended, when no file exists there or it is not a
// readable LAS file; a truncated file keeps the points read so far.
bool readLasFile(std::string fileName, std::vector<VELA::SVPoint3d>& points);

}  // namespace velaseg
