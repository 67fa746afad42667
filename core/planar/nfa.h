// A-contrario scoring of a plane hypothesis: the number of false alarms (NFA)
// of the best inlier/outlier cut of its residuals, as in the ORSA/AC-RANSAC
// line of work (Moisan & Stival 2004; Moisan, Moulon & Monasse 2012).
// Every NFA value here is a base-10 logarithm.
#pragma once

#include <cstdint>
#include <vector>

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

// Scratch space of sortResiduals, kept by the caller across hypotheses so that
// the per-hypothesis loop does not allocate.
struct ResidualSortBuffers {
    std::vector<std::uint32_t> keys;        // single-precision bits of each distance, by position
    std::vector<std::uint64_t> wideKeys;    // order keys of distances that are not widened floats
    std::vector<std::uint64_t> sorted;      // key << 32 | position, ascending
    std::vector<std::uint32_t> sortedKeys;
    std::vector<std::uint64_t> sortedWideKeys;
    std::vector<std::uint32_t> buckets;
    std::vector<int> order;                 // positions in sorted order
    std::vector<std::uint32_t> tieGroups;   // first slot and size of each group of equal distances
    std::vector<int> fenwick;
    std::vector<int> ring;
    std::vector<int> tieRanks;
    std::vector<int> indexCopy;
    std::vector<double> distanceCopy;
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

// The sort of sortResiduals for distances given as the bits of non-negative
// floats (not a number excluded), as the plane test computes them: `indices`
// takes the same order, `bits` ends ascending. False, with nothing changed,
// when the two lists differ in length.
bool sortDistanceBits(std::vector<int>& indices, std::vector<std::uint32_t>& bits, ResidualSortBuffers& buffers);

// Improves `result` with the best cut of the ascending normalised residuals.
// False, with `result` untouched, when their number differs from the table's N.
bool bestNfa(const NfaTable& table, const std::vector<double>& residuals, NfaResult& result);

// bestNfa on the residuals sortResiduals makes of the sorted float bits
// (zero repair, division by tau), worked out only as far as the scan reads.
bool bestNfaOfBits(const NfaTable& table, const std::vector<std::uint32_t>& sortedBits, double tau,
                   NfaResult& result);

}  // namespace vela
