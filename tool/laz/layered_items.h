// Layered LAZ chunks (point formats 6 to 10): a raw first record, the point
// count, then one independently coded layer per field group, so a reader can
// skip the fields it does not need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "laz/chunk_decode.h"
#include "laz/laszip_vlr.h"

namespace velaseg::laz {

// The fixed part of a layered chunk: where its layers lie.
struct LayeredChunkLayout {
    std::uint32_t points = 0;              // the raw first point included
    std::vector<std::uint32_t> layerSizes; // item order, see layerCount
    std::uint64_t bytes = 0;               // the whole chunk
};

// Layers of the items: POINT14 has 9, RGB14 1, RGBNIR14 2, WAVEPACKET14 1,
// BYTE14 one per byte.
std::size_t layerCount(const std::vector<LazItem>& items);

// Reads the count and the layer sizes of the chunk at [begin, end); the
// reason when they do not fit there.
std::string readLayeredChunkLayout(const std::vector<LazItem>& items, const std::uint8_t* begin,
                                   const std::uint8_t* end, LayeredChunkLayout& layout);

// Decodes the chunk at `begin` (its layout read before) into `records`
// (grown as needed, up to layout.points records). With `coordinatesAndColour` only the layers of
// x, y, z and RGB are decoded; every other field keeps the value of the
// chunk's first point. Each decoded layer must be consumed exactly.
ChunkDecode decodeLayeredChunk(const std::vector<LazItem>& items, const LayeredChunkLayout& layout,
                               const std::uint8_t* begin, bool coordinatesAndColour,
                               RecordBuffer& records);

}  // namespace velaseg::laz
