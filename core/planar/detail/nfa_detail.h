// The shortcuts of the plane test's scoring: the residual sort on reusable
// buffers, and the score of a hypothesis worked out from the single-precision
// bits of its distances, only as far as the scan of bestNfa reads them.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "planar/detail/exchange_order.h"
#include "planar/nfa.h"

namespace vela {

// sortResiduals on the caller's buffers, kept across hypotheses.
bool sortResiduals(std::vector<int>& indices, std::vector<double>& distances,
                   std::vector<double>& residuals, double tau, ResidualSortBuffers& buffers);

// Single-precision bits above this limit belong to distances whose residual
// surely exceeds 1, where the scan of bestNfa stops.
std::uint32_t scanLimitBits(double tau);

// Scratch space of cutMayScoreBelow, with its bounds for the last tau.
struct CutBoundScratch {
    double tau = std::numeric_limits<double>::quiet_NaN();  // none yet
    bool usable = false;
    std::uint32_t base = 0;
    double log10TauCeiling = 0.0;
    std::vector<double> slotLogResidual;
    std::vector<std::uint32_t> counts;
};

// False when no cut of a hypothesis can score below `threshold`, judged from
// its distances within scanLimitBits(tau) (single-precision bits, in any
// order) without sorting them; true when one may.
bool cutMayScoreBelow(const NfaTable& table, const std::vector<std::uint32_t>& withinLimit, double tau,
                      double threshold, CutBoundScratch& scratch);

// bestNfa on the residuals sortResiduals makes of the N sorted float bits
// (zero repair, division by tau), worked out only as far as the scan reads.
// The list may hold just the smallest of the N distances, as long as it holds
// every one within scanLimitBits(tau). False, with `result` untouched, when it
// holds more than N.
bool bestNfaOfBits(const NfaTable& table, const std::vector<std::uint32_t>& sortedBits, double tau,
                   NfaResult& result);

}  // namespace vela
