#include "laz/chunk_table.h"

#include "laz/arithmetic_decoder.h"
#include "laz/chunk_decode.h"
#include "laz/integer_decompressor.h"
#include "little_endian.h"

namespace velaseg::laz {

namespace {

constexpr std::uint64_t kNotSeekedBack = ~std::uint64_t(0);  // -1 as stored

}  // namespace

std::uint64_t chunkTableOffset(const std::uint8_t* file, std::size_t fileSize, std::uint64_t pointDataOffset)
{
    if (pointDataOffset > fileSize || fileSize - pointDataOffset < 8) {
        return 0;
    }
    std::uint64_t at = u64At(file + pointDataOffset);
    if (at == kNotSeekedBack && fileSize >= 8) {
        at = u64At(file + fileSize - 8);
    }
    // The table follows the chunks, which start 8 bytes into the point area.
    if (at <= pointDataOffset + 8 || at >= fileSize) {
        return 0;
    }
    return at;
}

std::string readChunkTable(const std::uint8_t* file, std::size_t fileSize, std::uint64_t tableAt, bool variableSize,
                           std::uint64_t maxChunks, std::vector<ChunkTableEntry>& entries)
{
    entries.clear();
    if (tableAt > fileSize || fileSize - tableAt < 8) {
        return "the chunk table lies beyond the end of the file";
    }
    const std::uint32_t version = u32At(file + tableAt);
    const std::uint32_t count = u32At(file + tableAt + 4);
    if (version != 0) {
        return "unknown chunk table version " + std::to_string(version);
    }
    if (count > maxChunks) {
        return "the chunk table lists " + std::to_string(count) + " chunks, more than the point data can hold";
    }
    if (count == 0) {
        return std::string();
    }
    ArithmeticDecoder decoder;
    initDecoder(decoder, file + tableAt + 8, file + fileSize);
    IntegerDecompressor ic;
    initIntegerDecompressor(ic, 32, 2);
    entries.resize(count);
    // Each entry is coded against the previous entry's raw value.
    std::uint32_t points = 0;
    std::uint32_t bytes = 0;
    for (ChunkTableEntry& entry : entries) {
        if (variableSize) {
            points = static_cast<std::uint32_t>(decompress(decoder, ic, static_cast<std::int32_t>(points), 0));
            entry.points = points;
        }
        bytes = static_cast<std::uint32_t>(decompress(decoder, ic, static_cast<std::int32_t>(bytes), 1));
        entry.bytes = bytes;
        if (decoder.source.overrun > kMissingFlushBytes) {
            entries.clear();
            return "the chunk table ends early";
        }
    }
    return std::string();
}

}  // namespace velaseg::laz
