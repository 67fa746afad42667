// What a LAS labels file copies from a LAS input: the header block, the
// variable length records and, streamed, the point records themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velaseg {

struct LasVlr {
    std::string userId;
    std::uint16_t recordId = 0;
    std::vector<std::uint8_t> bytes;  // its 54-byte header and its payload, as stored
};

struct LasInputLayout {
    std::vector<std::uint8_t> header;  // the public header block, as stored
    int pointFormat = 0;               // without the compression bits
    std::uint16_t recordLength = 0;    // of an uncompressed record
    double scale[3] = {0.0, 0.0, 0.0};
    double offset[3] = {0.0, 0.0, 0.0};
    std::vector<LasVlr> vlrs;          // those that lie whole before the point data
};

// Reads the header block and the VLRs of a LAS (or LAZ) file. False, with
// `problem` set, when they cannot be read.
bool readLasInputLayout(const std::string& fileName, LasInputLayout& layout, std::string& problem);

// Gets point records, uncompressed, in file order, `count` at a time.
using LasRecordBlockSink = std::function<void(const std::uint8_t* records, std::size_t count)>;

// Hands every point record of an input, in file order, to a sink; false when
// they could not be read.
using LasRecordSource = std::function<bool(const LasRecordBlockSink& sink)>;

// The records of a LAS or LAZ file, uncompressed, exactly those the LAS
// reader turns into points (a truncated file ends with its last whole
// record; a damaged LAZ chunk is left out as a whole).
LasRecordSource lasInputRecords(const std::string& fileName);

}  // namespace velaseg
