// What decoding one chunk reports back to the reader that cut the file into
// chunks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velaseg::laz {

// Whether the end handed to a chunk decoder is where the chunk must end
// (a chunk table or the chunk's own layer sizes say so) or only where the
// data runs out (one stream for the whole file, or chunks found one after
// another).
enum class ChunkEnd { exact, open };

struct ChunkDecode {
    std::uint64_t points = 0;           // records written
    const std::uint8_t* stop = nullptr; // where the coded data ended
    std::string problem;                // empty when the chunk is intact
};

// Bytes an old writer may have left out of its final flush: a decoder on an
// open end may look this far past the data.
constexpr std::uint32_t kMissingFlushBytes = 4;

// Where record `index` of a chunk claiming `claimed` records of `length`
// bytes goes. The buffer grows with the records actually decoded (doubling,
// from a few thousand), so a count claimed by damaged or hostile data never
// sizes it by itself.
inline std::uint8_t* recordAt(std::vector<std::uint8_t>& records, std::uint64_t index, std::uint64_t claimed,
                              std::size_t length)
{
    const std::size_t need = static_cast<std::size_t>(index + 1) * length;
    if (need > records.size()) {
        const std::uint64_t grown = std::max<std::uint64_t>(4096, 2 * (records.size() / length));
        records.resize(static_cast<std::size_t>(std::min(claimed, grown)) * length);
    }
    return records.data() + static_cast<std::size_t>(index) * length;
}

}  // namespace velaseg::laz
