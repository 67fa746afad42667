#include "planar/detail/hypothesis_search.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "planar/detail/hypothesis_list.h"
#include "planar/detail/nfa_detail.h"
#include "supervoxel/thread_pool.h"

namespace vela {

namespace {

// Per-hypothesis lists, reused so that the search allocates nothing once the
// first hypothesis has sized them.
struct HypothesisScratch {
    std::vector<std::uint32_t> scanned;
    CutBoundScratch cutBounds;
    std::vector<double> distances;
    std::vector<double> residuals;
    ResidualSortBuffers buffers;
};

// Sorts kept before the hypothesis list is written out: bounds the memory
// they take and the sorts a write-out may have to redo.
int sortsKept(int pointCount) { return std::clamp((1 << 20) / std::max(pointCount, 1), 4, 64); }

// Orders the written hypothesis list by the residuals of `plane` with
// `sorter` and scores its best cut into `result`. False when fewer than four
// residuals result.
bool scoreBySorter(const WorkCloud& cloud, const std::vector<float>& plane, std::vector<int>& hypothesis,
                   const NfaTable& table, double tau, ResidualSorter sorter, HypothesisScratch& scratch,
                   NfaResult& result)
{
    planeDistances(cloud, plane, hypothesis, scratch.distances);
    sorter(hypothesis, scratch.distances, scratch.residuals, tau, scratch.buffers);
    if (scratch.residuals.size() < 4) return false;
    bestNfa(table, scratch.residuals, result);
    return true;
}

// The best cut of a hypothesis from the bits of its distances (by point,
// none not a number), into `result` when one scores below `bestLogNfa`:
// only the distances within the scan limit are sorted, for the score -- when
// a cut may beat `bestLogNfa` at all. Only such a cut changes the search, and
// bestNfa only ever improves the result it is handed, so the cut found is
// the same.
void scoreKeys(const NfaTable& table, const std::vector<std::uint32_t>& keys, double tau, double bestLogNfa,
               HypothesisScratch& scratch, NfaResult& result)
{
    const std::size_t n = keys.size();
    const std::uint32_t limit = scanLimitBits(tau);
    // Counted first, so that the list only grows by what the previous
    // hypothesis had fewer: its resizing then writes next to nothing.
    std::size_t within = 0;
    for (std::size_t i = 0; i < n; ++i) within += keys[i] <= limit;
    std::vector<std::uint32_t>& scanned = scratch.scanned;
    scanned.resize(within + 1);
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        scanned[count] = keys[i];
        count += keys[i] <= limit;
    }
    scanned.resize(within);
    if (!cutMayScoreBelow(table, scanned, tau, bestLogNfa, scratch.cutBounds)) return;
    sortBitsAscending(scanned, scratch.buffers);
    NfaResult better;
    better.logNfa = bestLogNfa;
    bestNfaOfBits(table, scanned, tau, better);
    if (better.count > 0) result = better;
}

// The same with the sort deferred: the hypothesis's distances join the
// hypothesis list as its next sort keys, by which the list is sorted only
// when it is written out, and the score is worked out from them.
bool scoreDeferred(const WorkCloud& cloud, const PointCoordinates& coordinates, const std::vector<float>& plane,
                   HypothesisList& list, const NfaTable& table, double tau, double bestLogNfa,
                   HypothesisScratch& scratch, NfaResult& result)
{
    std::vector<std::uint32_t>& keys = nextSortKeys(list);
    if (!planeDistanceBits(coordinates, plane, keys)) {
        // A distance that is not a number: the list is sorted on doubles.
        return scoreBySorter(cloud, plane, writeOutHypothesisList(list), table, tau,
                             static_cast<ResidualSorter>(sortResiduals), scratch, result);
    }
    if (keys.size() < 4) return false;
    commitSortKeys(list);
    scoreKeys(table, keys, tau, bestLogNfa, scratch, result);
    return true;
}

// Whether `current` becomes the best cut; the hypothesis limit follows a
// meaningful one found at `iteration`.
bool improvesBest(const NfaResult& current, int pointCount, int iteration, double epsilon, NfaResult& best,
                  int& limit)
{
    if (!(current.count >= 4 && current.logNfa < best.logNfa)) return false;
    best = current;
    if (current.logNfa <= epsilon) limit = nextIterationLimit(current.count, pointCount, iteration, limit);
    return true;
}

// Steps of a batch that score no hypothesis; the others are slot numbers.
constexpr int kSkippedStep = -1;    // the sample spans no plane
constexpr int kNoSampleStep = -2;   // no sample could be drawn: the search ends
constexpr int kUnsampledStep = -3;  // the cloud cannot be sampled: the search fails

// List work other than a slot whose keys join the list: the list written out
// as the best cut's.
constexpr int kBestListWork = -1;

// One hypothesis of a batch, scored on a task of its own.
struct BatchSlot {
    std::vector<float> plane;
    std::vector<std::uint32_t> keys;  // bits of its distances, by point
    bool notANumber = false;          // a distance is not a number: keys unusable
    NfaResult result;                 // its best cut, when one beats the batch's bound
    HypothesisScratch scratch;
};

// The hypotheses drawn ahead, in order.
struct Batch {
    std::vector<int> steps;        // per iteration: its slot, or one of the steps above
    std::vector<BatchSlot> slots;  // the first `planes` belong to this batch
    int planes = 0;
    std::vector<int> listWork;     // in order: a slot whose keys join the list, or kBestListWork
};

// What one search works in.
struct SearchSpace {
    std::vector<int> shuffle;
    HypothesisList list;
    PointCoordinates coordinates;
    HypothesisScratch scratch;
    Batch batches[2];  // one is scored while the other's list work is done
};

// Clouds up to this size keep their search space for the next search.
constexpr int kKeptSearchPoints = 1 << 16;

// What every hypothesis of one search is scored with.
struct SearchContext {
    const WorkCloud& cloud;
    const PointCoordinates& coordinates;
    const NfaTable& table;
    double tau;
    double epsilon;
};

// The search one hypothesis after the other.
bool searchOneByOne(const SearchContext& context, ResidualSorter sorter, SearchSpace& space, SampleSource& source,
                    BestCut& best)
{
    const WorkCloud& cloud = context.cloud;
    const int n = static_cast<int>(cloud->points.size());
    std::vector<int>& shuffle = space.shuffle;
    // With a sorter, the hypothesis list stays written out.
    HypothesisList& list = space.list;
    std::vector<int> sample;
    std::vector<float> plane;
    HypothesisScratch& scratch = space.scratch;
    sample.reserve(kSampleSize);
    plane.reserve(4);

    int iteration = 0;
    int limit = kMaxIterations;
    int skipped = 0;
    while (skipped < kMaxSkipped) {
        ++iteration;
        if (!drawPlaneSample(cloud, shuffle, kSampleAttempts, kSampleSize, sample, source)) return false;
        if (sample.empty()) break;
        if (!planeFromSample(cloud, sample, plane)) {
            ++skipped;
        } else {
            NfaResult current;
            const bool scored =
                sorter ? scoreBySorter(cloud, plane, list.written, context.table, context.tau, sorter, scratch,
                                       current)
                       : scoreDeferred(cloud, context.coordinates, plane, list, context.table, context.tau,
                                       best.result.logNfa, scratch, current);
            if (!scored) return false;
            if (improvesBest(current, n, iteration, context.epsilon, best.result, limit)) {
                best.list = writeOutHypothesisList(list);
            }
        }
        if (iteration >= limit) break;
    }
    return true;
}

// Draws the next hypotheses as the search would meet them: up to `planes`
// of them, within `steps` iterations and `skipsLeft` samples that span no
// plane, and none past a draw that ends the search.
void drawBatch(const WorkCloud& cloud, std::vector<int>& shuffle, SampleSource& source, int planes, int steps,
               int skipsLeft, std::vector<int>& sample, Batch& batch)
{
    batch.steps.clear();
    batch.planes = 0;
    if (batch.slots.size() < static_cast<std::size_t>(planes)) batch.slots.resize(static_cast<std::size_t>(planes));
    while (batch.planes < planes && static_cast<int>(batch.steps.size()) < steps && skipsLeft > 0) {
        if (!drawPlaneSample(cloud, shuffle, kSampleAttempts, kSampleSize, sample, source)) {
            batch.steps.push_back(kUnsampledStep);
            return;
        }
        if (sample.empty()) {
            batch.steps.push_back(kNoSampleStep);
            return;
        }
        if (planeFromSample(cloud, sample, batch.slots[static_cast<std::size_t>(batch.planes)].plane)) {
            batch.steps.push_back(batch.planes++);
        } else {
            batch.steps.push_back(kSkippedStep);
            --skipsLeft;
        }
    }
}

// A hypothesis of a batch scored against `bound`, the best score before the
// batch: every later bound is smaller, and the result is compared with it
// when taken.
void scoreSlot(const SearchContext& context, double bound, BatchSlot& slot)
{
    slot.result = NfaResult();
    slot.notANumber = !planeDistanceBits(context.coordinates, slot.plane, slot.keys);
    if (slot.notANumber || slot.keys.size() < 4) return;
    scoreKeys(context.table, slot.keys, context.tau, bound, slot.scratch, slot.result);
}

// The list work a batch left, in order: each scored hypothesis's keys handed
// to the list (swapped, not copied), and the list written out where a
// hypothesis became the best.
void doListWork(Batch& batch, HypothesisList& list, std::vector<int>& bestList)
{
    for (int work : batch.listWork) {
        if (work == kBestListWork) {
            bestList = writeOutHypothesisList(list);
        } else {
            nextSortKeys(list).swap(batch.slots[static_cast<std::size_t>(work)].keys);
            commitSortKeys(list);
        }
    }
    batch.listWork.clear();
}

// Where a search in batches stands between batches.
struct Progress {
    int iteration = 0;
    int limit = kMaxIterations;
    int skipped = 0;
    bool over = false;
    bool failed = false;
};

// Takes one scored hypothesis of the batch as the search one after the
// other would; false when it cannot be scored.
bool takeHypothesis(const SearchContext& context, int slotNumber, Batch& batch, HypothesisList& list,
                    BestCut& best, Progress& progress)
{
    BatchSlot& slot = batch.slots[static_cast<std::size_t>(slotNumber)];
    NfaResult current;
    if (slot.notANumber) {
        // Sorted on doubles, on the list as it stands before this hypothesis.
        doListWork(batch, list, best.list);
        nextSortKeys(list);
        if (!scoreBySorter(context.cloud, slot.plane, writeOutHypothesisList(list), context.table, context.tau,
                           static_cast<ResidualSorter>(sortResiduals), slot.scratch, current)) {
            return false;
        }
    } else {
        if (slot.keys.size() < 4) return false;
        batch.listWork.push_back(slotNumber);
        current = slot.result;
    }
    const int n = static_cast<int>(context.cloud->points.size());
    if (improvesBest(current, n, progress.iteration, context.epsilon, best.result, progress.limit)) {
        batch.listWork.push_back(kBestListWork);
    }
    return true;
}

// Takes the batch's steps in order, as the search one hypothesis after the
// other would, up to the one that ends the search; the list work is left in
// the batch.
void takeBatch(const SearchContext& context, Batch& batch, HypothesisList& list, BestCut& best, Progress& progress)
{
    for (int step : batch.steps) {
        ++progress.iteration;
        if (step == kUnsampledStep) {
            progress.failed = true;
            return;
        }
        if (step == kNoSampleStep) {
            progress.over = true;
            return;
        }
        if (step == kSkippedStep) {
            ++progress.skipped;
        } else if (!takeHypothesis(context, step, batch, list, best, progress)) {
            progress.failed = true;
            return;
        }
        if (progress.iteration >= progress.limit || !(progress.skipped < kMaxSkipped)) {
            progress.over = true;
            return;
        }
    }
}

// The search `batchSize` hypotheses at a time. The list work of a batch --
// the chained sorts a write-out does -- decides nothing later but the lists
// written, so it runs beside the scoring of the next batch.
bool searchInBatches(const SearchContext& context, int batchSize, SearchSpace& space, SampleSource& source,
                     BestCut& best)
{
    std::vector<int> sample;
    sample.reserve(kSampleSize);
    Progress progress;
    Batch* waiting = nullptr;  // the batch whose list work is still to do
    for (int b = 0; !progress.over; b ^= 1) {
        Batch& batch = space.batches[b];
        drawBatch(context.cloud, space.shuffle, source, batchSize, progress.limit - progress.iteration,
                  kMaxSkipped - progress.skipped, sample, batch);
        const double bound = best.result.logNfa;
        parallelFor(static_cast<std::size_t>(batch.planes) + 1, 1, [&](std::size_t task) {
            if (task == 0) {
                if (waiting != nullptr) doListWork(*waiting, space.list, best.list);
            } else {
                scoreSlot(context, bound, batch.slots[task - 1]);
            }
        });
        takeBatch(context, batch, space.list, best, progress);
        if (progress.failed) return false;
        waiting = &batch;
    }
    doListWork(*waiting, space.list, best.list);
    return true;
}

}  // namespace

int hypothesesPerBatch(int pointCount, int threads)
{
    return threads > 1 && pointCount >= kSharedSearchPoints ? threads : 0;
}

bool searchBestCut(const WorkCloud& cloud, double tau, double epsilon, ResidualSorter sorter, int batch,
                   BestCut& best)
{
    const int n = static_cast<int>(cloud->points.size());
    // The lists of the search are sized by the cloud; those of small clouds,
    // which come by the thousand, are kept for the thread's next search.
    // (A thread waiting for its loop takes no other search meanwhile.)
    thread_local SearchSpace kept;
    SearchSpace local;
    SearchSpace& space = n <= kKeptSearchPoints ? kept : local;
    std::vector<int>& shuffle = space.shuffle;
    shuffle.resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) shuffle[i] = i;
    best.result = NfaResult();
    best.list = shuffle;
    resetHypothesisList(space.list, n, sortsKept(n));
    const NfaTable table = buildNfaTable(n, kSampleSize);
    SampleSource source = makeSampleSource();
    if (!sorter) fillCoordinates(cloud, space.coordinates);
    const SearchContext context{cloud, space.coordinates, table, tau, epsilon};
    if (sorter || batch < 1) return searchOneByOne(context, sorter, space, source, best);
    return searchInBatches(context, batch, space, source, best);
}

}  // namespace vela
