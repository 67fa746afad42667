// The hypothesis search of the plane test: random three-point planes, each
// scored by its best cut, until the hypothesis limit (which shrinks as better
// cuts appear), the samples run out, or too many samples span no plane.
//
// On a large cloud one search can take most of the RPS stage, so it can also
// run in batches: the samples of several hypotheses are drawn ahead (they do
// not depend on any score), the hypotheses are scored concurrently against
// the best cut known before the batch, and their results are then taken in
// order, as the search one hypothesis after the other would have taken them.
// A cut that cannot beat an earlier best cannot beat a later, smaller one,
// and a hypothesis's best cut is the first cut of least score whatever the
// bound it was sought under, so the cut found and the list left are the same.
#pragma once

#include <vector>

#include "planar/detail/orsa_planar_detail.h"
#include "planar/nfa.h"

namespace vela {

// The most meaningful cut found, and the hypothesis list it was found on.
struct BestCut {
    NfaResult result;
    std::vector<int> list;
};

// Clouds from this size on share their search among the pool's threads;
// smaller ones, tested by the hundred, keep the threads busy side by side.
constexpr int kSharedSearchPoints = 1 << 14;

// Hypotheses scored at a time for a cloud of `pointCount` points on a pool
// of `threads` threads: 0, one after the other, when the cloud is too small
// for its search to be worth sharing.
int hypothesesPerBatch(int pointCount, int threads);

// Searches the cloud's best cut: with `sorter` (null: the built-in scoring),
// one hypothesis after the other; without, `batch` hypotheses at a time on
// the pool when `batch` is positive. False when the cloud cannot be sampled
// or a hypothesis cannot be scored.
bool searchBestCut(const WorkCloud& cloud, double tau, double epsilon, ResidualSorter sorter, int batch,
                   BestCut& best);

}  // namespace vela
