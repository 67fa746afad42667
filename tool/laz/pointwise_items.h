// Pointwise LAZ chunks (point formats 0 to 5): a raw first record, then one
// coded stream in which every item of every further point follows the
// previous point's item in turn.
#pragma once

#include <cstdint>
#include <vector>

#include "laz/chunk_decode.h"
#include "laz/laszip_vlr.h"

namespace velaseg::laz {

// Decodes a chunk of `points` records from [begin, end) into `records`
// (grown as needed; the record length is the items' sizes added up). Stops
// early, with a problem, when the stream runs out.
ChunkDecode decodePointwiseChunk(const std::vector<LazItem>& items, const std::uint8_t* begin,
                                 const std::uint8_t* end, ChunkEnd endKind, std::uint64_t points,
                                 RecordBuffer& records);

}  // namespace velaseg::laz
