#include "ordered_blocks.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <tbb/parallel_pipeline.h>

#include "thread_arena.h"
#include "vela_plane.h"

namespace velaseg {
namespace {

// Enough to keep every thread formatting while the oldest block waits for
// its turn to be written; the cap bounds the memory when many threads are
// asked for (a block takes at most a few hundred KB).
constexpr int kBlocksInFlightPerThread = 3;
constexpr int kMostBlocksInFlight = 48;

struct Block {
    std::size_t first = 0;
    std::size_t end = 0;
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
};

// Buffers of written blocks serve later blocks: fresh memory for each block
// would cost a page fault per 4 KiB formatted.
class BufferPool {
public:
    explicit BufferPool(std::size_t room) : room_(room) {}

    std::unique_ptr<char[]> take()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!free_.empty()) {
                std::unique_ptr<char[]> bytes = std::move(free_.back());
                free_.pop_back();
                return bytes;
            }
        }
        return std::unique_ptr<char[]>(new char[room_]);  // left unset: every byte used is written first
    }

    void give(std::unique_ptr<char[]> bytes)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(std::move(bytes));
    }

private:
    std::size_t room_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<char[]>> free_;
};

}  // namespace

bool writeBlocksInOrder(AtomicFile& out, const BlockFormat& format)
{
    const int threads = std::max(1, VELA::VELA_ThreadCount());
    const std::size_t blockRecords = std::max<std::size_t>(1, format.blockRecords);
    BufferPool pool(blockRecords * format.recordRoom);
    std::size_t next = 0;
    // Read by the first stage while the last one may set it.
    std::atomic<bool> failed(false);
    using BlockPtr = std::shared_ptr<Block>;
    runInArena(threads, [&] {
        tbb::parallel_pipeline(
            static_cast<std::size_t>(std::min(threads * kBlocksInFlightPerThread, kMostBlocksInFlight)),
            tbb::make_filter<void, BlockPtr>(tbb::filter_mode::serial_in_order,
                                             [&](tbb::flow_control& flow) {
                                                 if (next == format.records || failed) {
                                                     flow.stop();
                                                     return BlockPtr();
                                                 }
                                                 auto block = std::make_shared<Block>();
                                                 block->first = next;
                                                 block->end = std::min(format.records, next + blockRecords);
                                                 next = block->end;
                                                 return block;
                                             }) &
                tbb::make_filter<BlockPtr, BlockPtr>(tbb::filter_mode::parallel,
                                                     [&](BlockPtr block) {
                                                         block->bytes = pool.take();
                                                         char* first = block->bytes.get();
                                                         block->size = static_cast<std::size_t>(
                                                             format.format(block->first, block->end, first) - first);
                                                         return block;
                                                     }) &
                tbb::make_filter<BlockPtr, void>(tbb::filter_mode::serial_in_order, [&](const BlockPtr& block) {
                    if (!out.write(block->bytes.get(), block->size)) failed = true;
                    pool.give(std::move(block->bytes));
                }));
    });
    return !failed;
}

}  // namespace velaseg
