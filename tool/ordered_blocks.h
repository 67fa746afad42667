// Outputs of one record per point, formatted on the threads and written in
// order: consecutive records are cut into blocks, each block is formatted by
// one task into a buffer of its own, and the buffers go to the file in block
// order, so the bytes are those of formatting the records one after the
// other whatever the number of threads. A few blocks per thread, 48 at most,
// are in flight at any time, so memory stays bounded whatever the number of
// records.
#pragma once

#include <cstddef>
#include <functional>

#include "atomic_file.h"

namespace velaseg {

struct BlockFormat {
    std::size_t records = 0;       // in the output
    std::size_t blockRecords = 0;  // per block (the last block may hold fewer)
    std::size_t recordRoom = 0;    // most bytes one record takes
    // Formats records [first, end) from `out` on, with room for
    // (end - first) * recordRoom bytes; returns the end of what it wrote.
    std::function<char*(std::size_t first, std::size_t end, char* out)> format;
};

// Writes the records of `format` after what `out` holds already, on the
// threads of VELA::VELA_ThreadCount(). False when a write failed (out.error()
// says why); no block is formatted after that.
bool writeBlocksInOrder(AtomicFile& out, const BlockFormat& format);

}  // namespace velaseg
