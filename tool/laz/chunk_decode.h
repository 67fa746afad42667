// What decoding one chunk reports back to the reader that cut the file into
// chunks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
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

// An allocator whose default construction leaves bytes as they are: the
// decoders write every byte of every record, so zeroing a record buffer
// first would only add a pass over it.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <class U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept
    {
    }
    template <class U>
    void construct(U* at) noexcept
    {
        ::new (static_cast<void*>(at)) U;
    }
    template <class U, class... Args>
    void construct(U* at, Args&&... args)
    {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

using RecordBuffer = std::vector<std::uint8_t, UninitialisedAllocator<std::uint8_t>>;

// Where record `index` of a chunk claiming `claimed` records of `length`
// bytes goes. The buffer grows with the records actually decoded (doubling,
// from a few thousand), so a count claimed by damaged or hostile data never
// sizes it by itself.
inline std::uint8_t* recordAt(RecordBuffer& records, std::uint64_t index, std::uint64_t claimed, std::size_t length)
{
    const std::size_t need = static_cast<std::size_t>(index + 1) * length;
    if (need > records.size()) {
        const std::uint64_t grown = std::max<std::uint64_t>(4096, 2 * (records.size() / length));
        records.resize(static_cast<std::size_t>(std::min(claimed, grown)) * length);
    }
    return records.data() + static_cast<std::size_t>(index) * length;
}

// Sizes the buffer before decoding, so that it need not grow record by
// record (each doubling copies what was decoded): for as many records as
// the chunk claims, up to one per coded byte. A point costs more than a byte
// in practice, and a byte of the file justifies a record.
inline void prepareRecords(RecordBuffer& records, std::uint64_t claimed, std::size_t length, std::size_t codedBytes)
{
    const std::uint64_t expected = std::min<std::uint64_t>(claimed, std::max<std::uint64_t>(4096, codedBytes));
    if (records.size() < expected * length) {
        records.resize(static_cast<std::size_t>(expected) * length);
    }
}

}  // namespace velaseg::laz
