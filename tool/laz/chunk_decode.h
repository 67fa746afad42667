// What decoding one chunk reports back to the reader that cut the file into
// chunks.
#pragma once

#include <cstdint>
#include <string>

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

}  // namespace velaseg::laz
