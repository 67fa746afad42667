// The LASzip VLR of a compressed LAS file: which compressor cut the point
// area into chunks, and which items (with which coder versions) make up a
// point record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velaseg::laz {

enum LazItemType : std::uint16_t {
    kItemByte = 0,
    kItemPoint10 = 6,
    kItemGpsTime11 = 7,
    kItemRgb12 = 8,
    kItemWavePacket13 = 9,
    kItemPoint14 = 10,
    kItemRgb14 = 11,
    kItemRgbNir14 = 12,
    kItemWavePacket14 = 13,
    kItemByte14 = 14,
};

enum LazCompressor : std::uint16_t {
    kPointwise = 1,         // one stream for the whole file
    kPointwiseChunked = 2,  // one stream per chunk
    kLayeredChunked = 3,    // one stream per field layer per chunk
};

constexpr std::uint32_t kVariableChunkSize = 0xFFFFFFFFu;

struct LazItem {
    std::uint16_t type = 0;
    std::uint16_t size = 0;
    std::uint16_t version = 0;
};

struct LaszipVlr {
    std::uint16_t compressor = 0;
    std::uint16_t coder = 0;
    std::uint32_t chunkSize = 0;  // points per chunk, or kVariableChunkSize
    std::vector<LazItem> items;
};

// Where the LASzip VLR's payload lies in the file; `found` is false when no
// VLR (nor extended VLR) carries it.
struct LaszipVlrPlace {
    bool found = false;
    std::size_t payloadAt = 0;
    std::size_t payloadSize = 0;
};

// Walks the `vlrCount` VLRs from `headerSize` and, for LAS 1.4, the
// `evlrCount` extended VLRs from `evlrAt`, never past `fileSize`.
LaszipVlrPlace findLaszipVlr(const std::uint8_t* file, std::size_t fileSize, std::size_t headerSize,
                             std::uint32_t vlrCount, std::uint64_t evlrAt, std::uint32_t evlrCount);

// Decodes the payload into `vlr`; the reason when it cannot describe a
// readable point area of `pointFormat` records of `recordLength` bytes, an
// empty string when it can.
std::string parseLaszipVlr(const std::uint8_t* payload, std::size_t size, int pointFormat,
                           std::uint16_t recordLength, LaszipVlr& vlr);

// "POINT10 v2", "BYTE14 v3", "item type 4 v1".
std::string lazItemName(const LazItem& item);

}  // namespace velaseg::laz
