// The chunk table of a chunked LAZ file: how many bytes (and, for chunks of
// variable size, how many points) each chunk has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velaseg::laz {

struct ChunkTableEntry {
    std::uint64_t points = 0;  // 0 unless chunks vary in size
    std::uint64_t bytes = 0;
};

// The table's offset as the 8 bytes at the start of the point area give it.
// A writer that could not seek back stores -1 there and the offset in the
// last 8 bytes of the file. 0 when neither names a place inside the file.
std::uint64_t chunkTableOffset(const std::uint8_t* file, std::size_t fileSize, std::uint64_t pointDataOffset);

// Decodes the table at `tableAt`. `maxChunks` bounds the count a damaged or
// hostile table may claim. The reason when it cannot be read, else "".
std::string readChunkTable(const std::uint8_t* file, std::size_t fileSize, std::uint64_t tableAt, bool variableSize,
                           std::uint64_t maxChunks, std::vector<ChunkTableEntry>& entries);

}  // namespace velaseg::laz
