#include "laz/arithmetic_decoder.h"

#include <algorithm>

namespace velaseg::laz {

namespace {

constexpr std::uint32_t kBitMaxCount = 1u << 13;
constexpr std::uint32_t kSymbolMaxCount = 1u << 15;

std::uint64_t tableEntry(const std::uint16_t* dist, std::uint32_t s)
{
    return s | (std::uint64_t(dist[s]) << 16) | (std::uint64_t(dist[s + 1]) << 32) | (std::uint64_t(dist[s + 2]) << 48);
}

// Entry t: the last symbol whose dist lies below t << tableShift, so at or
// below the answer for any value in slice t (the format's table, with the
// distribution beside each candidate).
void buildTable(SymbolModel& model)
{
    const std::uint32_t tableSize = model.tableSize;
    const std::uint32_t shift = model.tableShift;
    const std::uint16_t* dist = model.dist;
    std::uint64_t* table = model.table;
    table[0] = tableEntry(dist, 0);
    std::uint32_t t = 0;
    for (std::uint32_t k = 1; k < model.symbols; ++k) {
        const std::uint32_t w = dist[k] >> shift;
        if (t < w) {
            const std::uint64_t entry = tableEntry(dist, k - 1);
            do {
                table[++t] = entry;
            } while (t < w);
        }
    }
    const std::uint64_t last = tableEntry(dist, model.symbols - 1);
    while (t < tableSize) {
        table[++t] = last;
    }
}

}  // namespace

void updateBitModel(BitModel& model)
{
    model.bitCount += model.updateCycle;
    if (model.bitCount > kBitMaxCount) {
        model.bitCount = (model.bitCount + 1) >> 1;
        model.bit0Count = (model.bit0Count + 1) >> 1;
        if (model.bit0Count == model.bitCount) {
            ++model.bitCount;
        }
    }
    const std::uint32_t scale = 0x80000000u / model.bitCount;
    model.bit0Prob = (model.bit0Count * scale) >> 18;
    model.updateCycle = (5 * model.updateCycle) >> 2;
    if (model.updateCycle > 64) {
        model.updateCycle = 64;
    }
    model.bitsUntilUpdate = model.updateCycle;
}

std::uint32_t searchBeyondEntry(const SymbolModel& model, std::uint32_t from, std::uint32_t dv)
{
    // The entries past the last symbol stop the search.
    dv = dv < kPastLast ? dv : kPastLast - 1;
    std::uint32_t s = from;
    while (model.dist[s + 1] <= dv) {
        ++s;
    }
    return s;
}

void initSymbolModel(SymbolModel& model, std::uint32_t symbols)
{
    model.symbols = symbols;
    std::uint32_t tableBits = 3;
    while (symbols > (1u << tableBits) && tableBits < 10) {
        ++tableBits;
    }
    model.tableShift = 15 - tableBits;
    model.tableSize = 1u << tableBits;
    // dist has two entries past the last symbol, for the table entries.
    const std::size_t tableWords = model.tableSize + 1;
    const std::size_t shortWords = 2 * std::size_t(symbols) + 2;
    if (model.tableCapacity < tableWords) {
        model.tableStorage.reset(new std::uint64_t[tableWords]);
        model.tableCapacity = tableWords;
    }
    if (model.countCapacity < shortWords) {
        model.countStorage.reset(new std::uint16_t[shortWords]);
        model.countCapacity = shortWords;
    }
    model.table = model.tableStorage.get();
    model.dist = model.countStorage.get();
    model.count = model.dist + symbols + 2;
    model.dist[symbols] = kPastLast;
    model.dist[symbols + 1] = kPastLast;
    std::fill(model.count, model.count + symbols, std::uint16_t(1));
    model.total = 0;
    model.updateCycle = symbols;
    updateSymbolModel(model);
    model.updateCycle = (symbols + 6) >> 1;
    model.symbolsUntilUpdate = model.updateCycle;
}

void updateSymbolModel(SymbolModel& model)
{
    const std::uint32_t n = model.symbols;
    std::uint16_t* count = model.count;
    std::uint16_t* dist = model.dist;
    model.total += model.updateCycle;
    if (model.total > kSymbolMaxCount) {
        std::uint32_t total = 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            count[i] = static_cast<std::uint16_t>((count[i] + 1) >> 1);
            total += count[i];
        }
        model.total = total;
    }
    const std::uint32_t scale = 0x80000000u / model.total;
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        dist[i] = static_cast<std::uint16_t>((scale * sum) >> 16);
        sum += count[i];
    }
    buildTable(model);
    model.updateCycle = (5 * model.updateCycle) >> 2;
    const std::uint32_t maxCycle = (n + 6) << 3;
    if (model.updateCycle > maxCycle) {
        model.updateCycle = maxCycle;
    }
    model.symbolsUntilUpdate = model.updateCycle;
}

}  // namespace velaseg::laz
