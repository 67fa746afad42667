#include "laz/laz_decoder.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include <tbb/parallel_pipeline.h>

#include "laz/chunk_decode.h"
#include "laz/chunk_table.h"
#include "laz/layered_items.h"
#include "laz/pointwise_items.h"
#include "thread_arena.h"

namespace velaseg::laz {

namespace {

// An arithmetic-coded point costs at least about 0.007 bits (a change mask
// and two or three integer corrections, each at its model's highest
// probability), so no valid chunk holds more than about 1100 points per
// byte. A chunk claiming more is damaged before any work is spent on it;
// record buffers grow with the points decoded, never with a claim.
constexpr std::uint64_t kMaxPointsPerByte = 4096;

// Chunks in flight per thread: enough to keep every thread busy while the
// oldest chunk waits for its turn to be delivered.
constexpr int kChunksInFlightPerThread = 2;

struct PlannedChunk {
    std::uint64_t offset = 0;
    std::uint64_t bytes = 0;   // 0: unknown, the chunk ends where its data does
    std::uint64_t points = 0;  // 0: the chunk says (layered chunks)
};

struct Plan {
    std::vector<PlannedChunk> chunks;
    bool sequential = false;  // each chunk starts where the previous one's decoding stopped
    std::string shortfall;    // why the chunks cannot cover the header's count
    std::string note;
};

struct Context {
    const std::uint8_t* file = nullptr;
    std::size_t fileSize = 0;
    const LaszipVlr* vlr = nullptr;
    LazPointArea area;
    std::size_t recordLength = 0;
    bool layered = false;
    bool coordinatesAndColour = false;
};

struct DecodedChunk {
    std::size_t index = 0;
    RecordBuffer records;
    std::uint64_t points = 0;
    const std::uint8_t* stop = nullptr;
    std::string problem;
};

std::string chunkCountProblem(std::uint64_t points, std::uint64_t bytes, std::size_t recordLength)
{
    if (points > kMaxPointsPerByte * bytes || points > std::numeric_limits<std::size_t>::max() / recordLength) {
        return "it claims " + std::to_string(points) + " points in " + std::to_string(bytes) + " bytes";
    }
    return std::string();
}

void decodeLayered(const Context& c, const PlannedChunk& chunk, const std::uint8_t* begin, const std::uint8_t* end,
                   DecodedChunk& out)
{
    LayeredChunkLayout layout;
    out.problem = readLayeredChunkLayout(c.vlr->items, begin, end, layout);
    if (out.problem.empty() && chunk.bytes != 0 && layout.bytes != chunk.bytes) {
        out.problem = "its layer sizes add up to " + std::to_string(layout.bytes) + " bytes, the chunk table says " +
                      std::to_string(chunk.bytes);
    }
    if (out.problem.empty() && chunk.points != 0 && layout.points != chunk.points) {
        out.problem = "it holds " + std::to_string(layout.points) + " points, the chunk table says " +
                      std::to_string(chunk.points);
    }
    if (out.problem.empty()) {
        out.problem = chunkCountProblem(layout.points, layout.bytes, c.recordLength);
    }
    if (!out.problem.empty()) {
        return;
    }
    ChunkDecode decoded = decodeLayeredChunk(c.vlr->items, layout, begin, c.coordinatesAndColour, out.records);
    out.points = decoded.points;
    out.stop = decoded.stop;
    out.problem = std::move(decoded.problem);
}

void decodePointwise(const Context& c, const PlannedChunk& chunk, const std::uint8_t* begin, const std::uint8_t* end,
                     DecodedChunk& out)
{
    out.problem = chunkCountProblem(chunk.points, static_cast<std::uint64_t>(end - begin), c.recordLength);
    if (!out.problem.empty()) {
        return;
    }
    ChunkDecode decoded = decodePointwiseChunk(c.vlr->items, begin, end,
                                               chunk.bytes != 0 ? ChunkEnd::exact : ChunkEnd::open, chunk.points,
                                               out.records);
    out.points = decoded.points;
    out.stop = decoded.stop;
    out.problem = std::move(decoded.problem);
}

// Record buffers go back here once delivered. Fresh memory for every chunk
// would cost a page fault per 4 KiB written, more than decoding a point.
struct BufferPool {
    std::mutex mutex;
    std::vector<RecordBuffer> free;
};

RecordBuffer takeBuffer(BufferPool& pool)
{
    const std::lock_guard<std::mutex> lock(pool.mutex);
    if (pool.free.empty()) {
        return {};
    }
    RecordBuffer buffer = std::move(pool.free.back());
    pool.free.pop_back();
    return buffer;
}

void returnBuffer(BufferPool& pool, RecordBuffer&& buffer)
{
    const std::lock_guard<std::mutex> lock(pool.mutex);
    pool.free.push_back(std::move(buffer));
}

DecodedChunk decodeChunk(const Context& c, const PlannedChunk& chunk, std::size_t index, BufferPool& pool)
{
    DecodedChunk out;
    out.records = takeBuffer(pool);
    out.index = index;
    const std::uint8_t* begin = c.file + chunk.offset;
    const std::uint8_t* end = chunk.bytes != 0 ? begin + chunk.bytes : c.file + c.area.dataEnd;
    if (c.layered) {
        decodeLayered(c, chunk, begin, end, out);
    } else {
        decodePointwise(c, chunk, begin, end, out);
    }
    return out;
}

// Hands intact chunks to the sink in order, at most the header's count.
struct Delivery {
    const LazRecordSink* sink = nullptr;
    std::size_t recordLength = 0;
    std::uint64_t wanted = 0;
    std::uint64_t delivered = 0;
    std::size_t damaged = 0;
    std::string firstDamage;

    void take(const DecodedChunk& chunk)
    {
        if (!chunk.problem.empty()) {
            if (damaged++ == 0) {
                firstDamage = "chunk " + std::to_string(chunk.index + 1) + " is damaged (" + chunk.problem + ")";
            }
            return;
        }
        const std::uint64_t count = std::min(chunk.points, wanted - delivered);
        if (count > 0) {
            (*sink)(chunk.records.data(), static_cast<std::size_t>(count));
            delivered += count;
        }
    }
};

std::string planFromTable(const Context& c, const std::vector<ChunkTableEntry>& entries, std::uint64_t tableAt,
                          Plan& plan)
{
    const bool variable = c.vlr->chunkSize == kVariableChunkSize;
    std::uint64_t offset = c.area.pointDataOffset + 8;
    std::uint64_t planned = 0;
    for (std::size_t i = 0; i < entries.size() && (variable || planned < c.area.pointCount); ++i) {
        const ChunkTableEntry& e = entries[i];
        if (e.bytes == 0 || e.bytes > tableAt - offset) {
            plan.chunks.clear();
            return "chunk " + std::to_string(i + 1) + " of " + std::to_string(e.bytes) + " bytes does not fit before the table";
        }
        PlannedChunk chunk;
        chunk.offset = offset;
        chunk.bytes = e.bytes;
        chunk.points = variable ? e.points : std::min<std::uint64_t>(c.vlr->chunkSize, c.area.pointCount - planned);
        if (variable && chunk.points == 0) {
            plan.chunks.clear();
            return "chunk " + std::to_string(i + 1) + " holds 0 points";
        }
        plan.chunks.push_back(chunk);
        planned += chunk.points;
        offset += e.bytes;
    }
    if (planned < c.area.pointCount) {
        plan.shortfall = "the chunk table covers only " + std::to_string(planned) + " points";
    }
    return std::string();
}

// Without a table, layered chunks still say how long they are.
void planByWalking(const Context& c, Plan& plan)
{
    std::uint64_t offset = c.area.pointDataOffset + 8;
    std::uint64_t planned = 0;
    while (planned < c.area.pointCount && offset < c.area.dataEnd) {
        LayeredChunkLayout layout;
        const std::string problem =
            readLayeredChunkLayout(c.vlr->items, c.file + offset, c.file + c.area.dataEnd, layout);
        if (!problem.empty()) {
            plan.shortfall = "chunk " + std::to_string(plan.chunks.size() + 1) + " is damaged (" + problem + ")";
            return;
        }
        plan.chunks.push_back({offset, layout.bytes, layout.points});
        planned += layout.points;
        offset += layout.bytes;
    }
    if (planned < c.area.pointCount) {
        plan.shortfall = "the point data ends after " + std::to_string(planned) + " points";
    }
}

Plan planChunks(const Context& c)
{
    Plan plan;
    const LaszipVlr& vlr = *c.vlr;
    if (vlr.compressor == kPointwise) {
        plan.chunks.push_back({c.area.pointDataOffset, 0, c.area.pointCount});
        return plan;
    }
    const std::uint64_t firstChunk = c.area.pointDataOffset + 8;
    const std::uint64_t tableAt = chunkTableOffset(c.file, c.fileSize, c.area.pointDataOffset);
    std::string problem = "the chunk table is missing";
    if (tableAt != 0) {
        std::vector<ChunkTableEntry> entries;
        const std::uint64_t maxChunks = (tableAt - firstChunk) / c.recordLength;
        problem = readChunkTable(c.file, c.fileSize, tableAt, vlr.chunkSize == kVariableChunkSize, maxChunks, entries);
        if (problem.empty()) {
            problem = planFromTable(c, entries, tableAt, plan);
        }
        if (problem.empty()) {
            return plan;
        }
        problem = "the chunk table is unusable: " + problem;
    }
    if (c.layered) {
        plan.note = problem + "; the chunks were found one after another";
        planByWalking(c, plan);
    } else if (vlr.chunkSize != kVariableChunkSize) {
        plan.note = problem + "; the chunks were decoded one after another";
        plan.sequential = true;
    } else {
        plan.shortfall = problem + " and chunks of variable size cannot be found without it";
    }
    return plan;
}

void decodeInOrder(const Context& c, const Plan& plan, Delivery& delivery)
{
    BufferPool pool;
    for (std::size_t i = 0; i < plan.chunks.size(); ++i) {
        DecodedChunk chunk = decodeChunk(c, plan.chunks[i], i, pool);
        delivery.take(chunk);
        returnBuffer(pool, std::move(chunk.records));
    }
}

void decodeInParallel(const Context& c, const Plan& plan, int threads, Delivery& delivery)
{
    BufferPool pool;
    std::size_t next = 0;
    runInArena(threads, [&] {
        tbb::parallel_pipeline(
            static_cast<std::size_t>(threads * kChunksInFlightPerThread),
            tbb::make_filter<void, std::size_t>(tbb::filter_mode::serial_in_order,
                                                [&](tbb::flow_control& flow) -> std::size_t {
                                                    if (next == plan.chunks.size()) {
                                                        flow.stop();
                                                        return 0;
                                                    }
                                                    return next++;
                                                }) &
                tbb::make_filter<std::size_t, std::shared_ptr<DecodedChunk>>(
                    tbb::filter_mode::parallel,
                    [&](std::size_t i) {
                        return std::make_shared<DecodedChunk>(decodeChunk(c, plan.chunks[i], i, pool));
                    }) &
                tbb::make_filter<std::shared_ptr<DecodedChunk>, void>(
                    tbb::filter_mode::serial_in_order,
                    [&](const std::shared_ptr<DecodedChunk>& chunk) {
                        delivery.take(*chunk);
                        returnBuffer(pool, std::move(chunk->records));
                    }));
    });
}

// Fixed-size pointwise chunks without a table: a chunk's end is known only
// once it is decoded, so they are decoded one after another.
void decodeSequentially(const Context& c, Plan& plan, Delivery& delivery)
{
    BufferPool pool;
    std::uint64_t offset = c.area.pointDataOffset + 8;
    std::uint64_t planned = 0;
    for (std::size_t i = 0; planned < c.area.pointCount && offset < c.area.dataEnd; ++i) {
        PlannedChunk chunk;
        chunk.offset = offset;
        chunk.points = std::min<std::uint64_t>(c.vlr->chunkSize, c.area.pointCount - planned);
        DecodedChunk decoded = decodeChunk(c, chunk, i, pool);
        if (!decoded.problem.empty()) {
            plan.shortfall = "chunk " + std::to_string(i + 1) + " is damaged (" + decoded.problem + ")";
            return;
        }
        delivery.take(decoded);
        returnBuffer(pool, std::move(decoded.records));
        planned += chunk.points;
        offset = static_cast<std::uint64_t>(decoded.stop - c.file);
    }
    if (planned < c.area.pointCount) {
        plan.shortfall = "the point data ends after " + std::to_string(planned) + " points";
    }
}

}  // namespace

LazDecodeReport decodeLazPoints(const std::uint8_t* file, std::size_t fileSize, const LaszipVlr& vlr,
                                const LazPointArea& area, const LazDecodeOptions& options, const LazRecordSink& sink)
{
    Context c;
    c.file = file;
    c.fileSize = fileSize;
    c.vlr = &vlr;
    c.area = area;
    c.area.dataEnd = std::min<std::uint64_t>(area.dataEnd, fileSize);
    for (const LazItem& item : vlr.items) {
        c.recordLength += item.size;
    }
    c.layered = vlr.compressor == kLayeredChunked;
    c.coordinatesAndColour = options.coordinatesAndColour;

    LazDecodeReport report;
    Delivery delivery;
    delivery.sink = &sink;
    delivery.recordLength = c.recordLength;
    delivery.wanted = area.pointCount;
    if (area.pointCount == 0) {
        return report;
    }
    Plan plan = planChunks(c);
    if (plan.sequential) {
        decodeSequentially(c, plan, delivery);
    } else if (options.threads <= 1 || plan.chunks.size() <= 1) {
        decodeInOrder(c, plan, delivery);
    } else {
        decodeInParallel(c, plan, options.threads, delivery);
    }

    report.delivered = delivery.delivered;
    report.lost = area.pointCount - delivery.delivered;
    report.note = plan.note;
    if (report.lost != 0) {
        std::string reason = delivery.firstDamage;
        if (delivery.damaged > 1) {
            const std::size_t more = delivery.damaged - 1;
            reason += " and " + std::to_string(more) + (more == 1 ? " more chunk is" : " more chunks are") + " damaged";
        }
        if (!plan.shortfall.empty()) {
            reason += (reason.empty() ? "" : "; ") + plan.shortfall;
        }
        if (!plan.note.empty()) {
            reason += "; " + plan.note;
            report.note.clear();
        }
        report.lossReason = reason.empty() ? "the chunks hold fewer points than the header says" : reason;
    }
    return report;
}

}  // namespace velaseg::laz
