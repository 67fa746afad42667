// Decodes the point area of a LAZ file: plans its chunks (from the chunk
// table, or by walking them when the table is lost), decodes them on several
// threads and hands the uncompressed records on in file order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "laz/laszip_vlr.h"

namespace velaseg::laz {

// What the decoder takes from the LAS header.
struct LazPointArea {
    std::uint64_t pointDataOffset = 0;
    std::uint64_t pointCount = 0;
    std::uint64_t dataEnd = 0;  // where point data must end: the file's end or the first EVLR
};

struct LazDecodeOptions {
    // Decode only what x, y, z and colour need (layered files skip the
    // other layers; their fields keep each chunk's first value).
    bool coordinatesAndColour = false;
    int threads = 1;
};

// Gets `count` records (the record length is the items' sizes added up) at a
// time, in file order.
using LazRecordSink = std::function<void(const std::uint8_t* records, std::size_t count)>;

struct LazDecodeReport {
    std::uint64_t delivered = 0;
    std::uint64_t lost = 0;  // of the header's count
    std::string lossReason;  // why, when points were lost
    std::string note;        // something worth a warning that cost no points
};

// Decodes the points of `file` (all `fileSize` bytes of it mapped or read)
// whose LASzip VLR is `vlr`. Damaged chunks are left out and accounted for
// in the report; the records of intact chunks reach `sink`.
LazDecodeReport decodeLazPoints(const std::uint8_t* file, std::size_t fileSize, const LaszipVlr& vlr,
                                const LazPointArea& area, const LazDecodeOptions& options,
                                const LazRecordSink& sink);

}  // namespace velaseg::laz
