#include "planar/nfa.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "planar/detail/nfa_detail.h"

namespace vela {

NfaTable buildNfaTable(int n, int k)
{
    NfaTable table;
    table.N = n;
    table.k = k;
    if (n < 0) return table;

    table.logInt.assign(static_cast<std::size_t>(n) + 1, 0.0);
    for (int i = 1; i <= n; ++i) table.logInt[i] = std::log10(static_cast<double>(i));
    if (n < k) return table;

    // log10(m!) summed in increasing i, so that every table of the same N is
    // built from the same rounding.
    auto logFactorial = [&table](int m) {
        double sum = 0.0;
        for (int i = 1; i <= m; ++i) sum += table.logInt[i];
        return sum;
    };

    const int cuts = n - k + 1;
    table.logChooseN.assign(cuts, 0.0);
    table.logChooseK.assign(cuts, 0.0);
    if (n > k) table.logChooseN[0] = logFactorial(n) - logFactorial(n - k) - logFactorial(k);
    for (int j = 1; j < cuts; ++j) {
        table.logChooseN[j] = table.logChooseN[j - 1] - table.logInt[k + j] + table.logInt[n - k - j + 1];
        table.logChooseK[j] = table.logInt[k + j] + table.logChooseK[j - 1] - table.logInt[j];
    }
    return table;
}

bool sortResiduals(std::vector<int>& indices, std::vector<double>& distances,
                   std::vector<double>& residuals, double tau, ResidualSortBuffers& buffers)
{
    if (indices.size() != distances.size()) return false;
    const std::size_t n = distances.size();

    exchangeSortDistances(indices, distances, buffers);

    // The first three are the sample points, at distance zero up to rounding;
    // a zero further on would give log10 = -inf and a cut of unbounded merit.
    if (n >= 4) {
        double firstPositive = 0.0;
        for (std::size_t j = 3; j < n; ++j) {
            if (distances[j] > 0.0) {
                firstPositive = distances[j];
                break;
            }
        }
        for (std::size_t j = 3; j < n && !(distances[j] > 0.0); ++j) {
            if (distances[j] <= 0.0) distances[j] = firstPositive;
        }
    }

    residuals.resize(n);
    for (std::size_t i = 0; i < n; ++i) residuals[i] = distances[i] / tau;
    return true;
}

bool sortResiduals(std::vector<int>& indices, std::vector<double>& distances,
                   std::vector<double>& residuals, double tau)
{
    ResidualSortBuffers buffers;
    return sortResiduals(indices, distances, residuals, tau, buffers);
}

namespace {

// One cut's score; the scan below and its float-bit twin must agree to the bit.
inline bool scoreCut(const NfaTable& table, int i, double residual, NfaResult& result)
{
    // Residuals ascend, so nothing past the first one beyond tau can be an
    // inlier: its logarithm is never needed.
    const double logResidual = std::log10(residual);
    if (logResidual > 0.0) return false;
    const int n = table.N;
    const int k = table.k;
    const int j = i + 1 - k;
    const double value = table.logChooseN[j] + table.logInt[n - k] + table.logChooseK[j] + j * logResidual;
    // Strict, so that among equal scores the smallest cut stays.
    if (value < result.logNfa) {
        result.logNfa = value;
        result.logResidual = logResidual;
        result.count = i + 1;
    }
    return true;
}

}  // namespace

bool bestNfa(const NfaTable& table, const std::vector<double>& residuals, NfaResult& result)
{
    if (residuals.size() != static_cast<std::size_t>(table.N)) return false;
    for (int i = table.k; i < table.N; ++i) {
        if (!scoreCut(table, i, residuals[i], result)) break;
    }
    return true;
}

namespace {

// A lower bound of log10(r) for a positive normal r, far cheaper than the
// logarithm: the exponent's share plus log10 of the leading mantissa bits
// rounded down, less a margin that dwarfs the rounding of this sum and the
// error of any usable log10 (a few units in the last place).
double log10Floor(double r)
{
    constexpr int kStepBits = 8;
    constexpr int kSteps = 1 << kStepBits;
    static const std::array<double, kSteps> mantissa = [] {
        std::array<double, kSteps> logs;
        for (int step = 0; step < kSteps; ++step) logs[step] = std::log10(1.0 + static_cast<double>(step) / kSteps);
        return logs;
    }();
    std::uint64_t bits;
    std::memcpy(&bits, &r, sizeof bits);
    const int exponent = static_cast<int>(bits >> 52) - 1023;
    const int step = static_cast<int>((bits >> (52 - kStepBits)) & (kSteps - 1));
    return exponent * 0.30102999566398119521 + mantissa[step] - 1e-9;
}

}  // namespace

std::uint32_t scanLimitBits(double tau)
{
    constexpr std::uint32_t kInfinity = 0x7f800000u;
    const double limit = tau * (1.0 + 1e-6);
    // Rounded to the nearest float, the limit loses less than 1e-7 of itself:
    // any float above it is still beyond tau by more than the margin.
    if (!(limit >= std::numeric_limits<float>::min() && limit <= std::numeric_limits<float>::max())) return kInfinity;
    const float rounded = static_cast<float>(limit);
    std::uint32_t bits;
    std::memcpy(&bits, &rounded, sizeof bits);
    return bits;
}

namespace {

// Slots of a quarter octave (the leading two mantissa bits) over the 16
// octaves below the scan limit, in ascending order; the first slot also
// takes everything smaller. Finer slots prune a little more but cost more
// than they save.
constexpr int kSlotShift = 21;
constexpr std::uint32_t kSlots = 64;

// The lower bounds of the residual logarithms in each slot, for this tau;
// usable only when every slot bound is a normal float.
void prepareSlotBounds(CutBoundScratch& scratch, double tau)
{
    scratch.tau = tau;
    const std::uint32_t top = scanLimitBits(tau) >> kSlotShift;
    scratch.usable = tau >= std::numeric_limits<double>::min() && tau <= 1e300 && top >= kSlots + 16;
    if (!scratch.usable) return;
    scratch.base = top - (kSlots - 1);
    scratch.log10TauCeiling = std::log10(tau) + 1e-9;
    scratch.slotLogResidual.resize(kSlots);
    for (std::uint32_t slot = 1; slot < kSlots; ++slot) {
        const double lowest = widenedBits((scratch.base + slot) << kSlotShift);
        scratch.slotLogResidual[slot] = log10Floor(lowest) - scratch.log10TauCeiling;
    }
    scratch.counts.assign(kSlots, 0u);
}

// The distances counted into their slots (scratch.counts), zeros apart.
struct SlotCounts {
    std::uint64_t occupied = 0;              // a bit per slot
    int zeros = 0;
    std::uint32_t smallest = ~std::uint32_t{0};  // smallest positive
};

SlotCounts countIntoSlots(const std::vector<std::uint32_t>& withinLimit, CutBoundScratch& scratch)
{
    SlotCounts c;
    std::uint32_t* counts = scratch.counts.data();
    for (std::uint32_t bits : withinLimit) {
        if (bits == 0) {
            ++c.zeros;
            continue;
        }
        c.smallest = std::min(c.smallest, bits);
        // Bits beyond the limit (not to be listed) would share the top slot.
        const std::uint32_t shifted = std::min(bits >> kSlotShift, scratch.base + kSlots - 1);
        const std::uint32_t slot = shifted > scratch.base ? shifted - scratch.base : 0;
        ++counts[slot];
        c.occupied |= std::uint64_t{1} << slot;
    }
    return c;
}

}  // namespace

bool cutMayScoreBelow(const NfaTable& table, const std::vector<std::uint32_t>& withinLimit, double tau,
                      double threshold, CutBoundScratch& scratch)
{
    const int n = table.N;
    const int k = table.k;
    const int listed = static_cast<int>(withinLimit.size());
    if (listed > n) return true;
    if (!(scratch.tau == tau)) prepareSlotBounds(scratch, tau);
    if (!scratch.usable) return true;

    const SlotCounts slots = countIntoSlots(withinLimit, scratch);
    std::uint32_t* counts = scratch.counts.data();
    // Visits the occupied slots in ascending order; clears them as it goes,
    // so the counts are all zero again for the next call.
    auto forEachOccupied = [&](auto visit) {
        bool stopped = false;
        for (std::uint64_t rest = slots.occupied; rest != 0; rest &= rest - 1) {
            const auto slot = static_cast<std::uint32_t>(__builtin_ctzll(rest));
            if (!stopped) stopped = visit(slot, static_cast<int>(counts[slot]));
            counts[slot] = 0;
        }
        return stopped;
    };
    if (slots.smallest < 0x00800000u) {  // a subnormal: no bound from its bits
        forEachOccupied([](std::uint32_t, int) { return true; });
        return true;
    }

    // A cut's score grows with its residual's logarithm, and every residual
    // in a slot is at least the slot's lower bound over tau.
    auto mayBeat = [&](int from, int to, double logResidual) {
        for (int i = std::max(from, k); i < to; ++i) {
            const int j = i + 1 - k;
            const double floor = table.logChooseN[j] + table.logInt[n - k] + table.logChooseK[j] + j * logResidual;
            if (floor < threshold) return true;
        }
        return false;
    };
    const double smallestLogResidual = slots.smallest == ~std::uint32_t{0}
                                           ? 0.0
                                           : log10Floor(widenedBits(slots.smallest)) - scratch.log10TauCeiling;
    // Zeros from position 3 on take the smallest positive distance; when none
    // is listed, it lies beyond the limit and the scan stops at once.
    bool zerosMayBeat = false;
    if (slots.zeros > 3) {
        if (slots.smallest == ~std::uint32_t{0}) return listed == n;  // all zero: the cut of four scores -inf
        zerosMayBeat = mayBeat(3, slots.zeros, smallestLogResidual);
    }
    int rank = slots.zeros;
    const bool slotMayBeat = forEachOccupied([&](std::uint32_t slot, int count) {
        const bool may = mayBeat(rank, rank + count, slot == 0 ? smallestLogResidual : scratch.slotLogResidual[slot]);
        rank += count;
        return may;
    });
    return zerosMayBeat || slotMayBeat;
}

bool bestNfaOfBits(const NfaTable& table, const std::vector<std::uint32_t>& sortedBits, double tau,
                   NfaResult& result)
{
    const int n = table.N;
    const int k = table.k;
    const int listed = static_cast<int>(sortedBits.size());
    if (listed > n) return false;
    // The zero repair of sortResiduals, applied as the scan goes. When the
    // first positive distance from position 3 on is not listed, it lies beyond
    // the limit and the scan stops at once.
    int firstPositive = 3;
    while (firstPositive < listed && sortedBits[firstPositive] == 0) ++firstPositive;
    if (firstPositive >= listed && listed < n) return true;
    const double repaired = firstPositive < listed ? widenedBits(sortedBits[firstPositive]) : 0.0;
    // Distances not listed lie beyond the limit, where the scan stops.
    for (int i = k; i < listed; ++i) {
        const double distance = i >= 3 && i < firstPositive ? repaired : widenedBits(sortedBits[i]);
        const double residual = distance / tau;
        // Clear of 1, the logarithm is surely negative and the scan goes on;
        // a cut whose score from below already misses the best is passed
        // over without its logarithm (a score only grows with it).
        if (residual >= std::numeric_limits<double>::min() && residual < 1.0 - 1e-9) {
            const int j = i + 1 - k;
            const double floor =
                table.logChooseN[j] + table.logInt[n - k] + table.logChooseK[j] + j * log10Floor(residual);
            if (!(floor < result.logNfa)) continue;
        }
        if (!scoreCut(table, i, residual, result)) break;
    }
    return true;
}

}  // namespace vela
