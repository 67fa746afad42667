// LAS input: every point record of a LAS file as an SVPoint3d with
// full-precision coordinates and 8-bit colour.
#pragma once

#include <cstddef>
#include <cstdint>
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
    std::uint8_t pointFormatByte = 0;  // as stored, compression bits included
    std::uint16_t recordLength = 0;
    std::uint32_t legacyPointCount = 0;
    std::uint64_t extendedPointCount = 0;  // LAS 1.4 only, 0 otherwise
    std::uint64_t pointCount = 0;          // the count the reader goes by
    double scale[3] = {0.0, 0.0, 0.0};
    double offset[3] = {0.0, 0.0, 0.0};
};

// Decodes the first `size` bytes of a file as a LAS public header block.
// Fields that lie beyond `size` (or beyond the header size the block
// declares) stay 0.
LasHeader decodeLasHeader(const std::uint8_t* bytes, std::size_t size);

// Why a file of `fileSize` bytes with this header cannot be read as LAS; an
// empty string when it can.
std::string lasHeaderProblem(const LasHeader& header, std::uint64_t fileSize);

// Appends the points of `fileName` in file order and prints the count line.
// False, with nothing appended, when no file exists there or it is not a
// readable LAS file; a truncated file keeps the points read so far.
bool readLasFile(std::string fileName, std::vector<VELA::SVPoint3d>& points);

}  // namespace velaseg
