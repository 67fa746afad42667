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

// Sorts the hypothesis's index and distance lists (in place, together) into
// the ascending order an exchange sort gives -- ties included, since the tie
// order decides which points fall on which side of a cut -- repairs zero
// distances from position 3 on, and writes distance / tau into `residuals`.
// False, with nothing changed, when the two lists differ in length.
bool sortResiduals(std::vector<int>& indices, std::vector<double>& distances,
                   std::vector<double>& residuals, double tau);

// Improves `result` with the best cut of the ascending normalised residuals.
// False, with `result` untouched, when their number differs from the table's N.
bool bestNfa(const NfaTable& table, const std::vector<double>& residuals, NfaResult& result);

}  // namespace vela
