// A-contrario scoring of a plane hypothesis: the number of false alarms (NFA)
// of the best inlier/outlier cut of its residuals, as in the ORSA/AC-RANSAC
// line of work (Moisan & Stival 2004; Moisan, Moulon & Monasse 2012).
// Every NFA value here is a base-10 logarithm.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "planar/exchange_order.h"

namespace vela {

// Logarithms that every hypothesis of one test reuses; built once per test.
struct NfaTable {
    std::int32_t N = 0;              // number of points
    std::int32_t k = 0;              // sample size
    std::vector<double> logInt;      // log10(i) for i = 0..N, with logInt[0] = 0
    std::vector<double> logChooseN;  // log10 binom(N, k + j), j = 0..N-k
    std::vector<double> logChooseK;  // log10 binom(k + j, k), j = 0..N-k
};

NfaTable buildNfaTable(int n, int k);

// Best cut of one hypothesis: the `count` smallest residuals are its inliers.
struct NfaResult {
    std::int32_t count = 0;      // 0 means no cut
    double logNfa = 99999.0;
    double logResidual = 1.0;    // log10 of the largest inlier residual over tau
};

// Sorts the hypothesis's index and distance lists (in place, together) into
// the ascending order an exchange sort gives -- ties included, since the tie
// order decides which points fall on which side of a cut -- repairs zero
// distances from position 3 on, and writes distance / tau into `residuals`.
// False, with nothing changed, when the two lists differ in length.
bool sortResiduals(std::vector<int>& indices, std::vector<double>& distances,
                   std::vector<double>& residuals, double tau, ResidualSortBuffers& buffers);
bool sortResiduals(std::vector<int>& indices, std::vector<double>& distances,
                   std::vector<double>& residuals, double tau);

// Improves `result` with the best cut of the ascending normalised residuals.
// False, with `result` untouched, when their number differs from the table's N.
bool bestNfa(const NfaTable& table, const std::vector<double>& residuals, NfaResult& result);

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
