#include "laz/arithmetic_decoder.h"

namespace velaseg::laz {

namespace {

constexpr std::uint32_t kBitMaxCount = 1u << 13;
constexpr std::uint32_t kSymbolMaxCount = 1u << 15;

void buildTable(SymbolModel& model)
{
    const std::uint32_t tableSize = model.tableSize;
    std::uint32_t s = 0;
    for (std::uint32_t k = 0; k < model.symbols; ++k) {
        const std::uint32_t w = model.dist[k] >> model.tableShift;
        while (s < w) {
            ++s;
            model.table[s] = k - 1;
        }
    }
    model.table[0] = 0;
    while (s <= tableSize) {
        ++s;
        model.table[s] = model.symbols - 1;
    }
}

}  // namespace

void initDecoder(ArithmeticDecoder& decoder, const std::uint8_t* begin, const std::uint8_t* end)
{
    decoder.source.at = begin;
    decoder.source.end = end;
    decoder.source.overrun = 0;
    decoder.length = 0xFFFFFFFFu;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value = (value << 8) | nextByte(decoder.source);
    }
    decoder.value = value;
}

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

void initSymbolModel(SymbolModel& model, std::uint32_t symbols)
{
    model.symbols = symbols;
    model.count.assign(symbols, 1);
    model.dist.assign(symbols, 0);
    model.tableShift = 0;
    model.tableSize = 0;
    model.table.clear();
    if (symbols > 16) {
        std::uint32_t tableBits = 3;
        while (symbols > (1u << (tableBits + 2))) {
            ++tableBits;
        }
        model.tableShift = 15 - tableBits;
        model.tableSize = 1u << tableBits;
        model.table.assign(model.tableSize + 2, 0);
    }
    model.total = 0;
    model.updateCycle = symbols;
    updateSymbolModel(model);
    model.updateCycle = (symbols + 6) >> 1;
    model.symbolsUntilUpdate = model.updateCycle;
}

void updateSymbolModel(SymbolModel& model)
{
    const std::uint32_t n = model.symbols;
    model.total += model.updateCycle;
    if (model.total > kSymbolMaxCount) {
        model.total = 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            model.count[i] = (model.count[i] + 1) >> 1;
            model.total += model.count[i];
        }
    }
    const std::uint32_t scale = 0x80000000u / model.total;
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        model.dist[i] = (scale * sum) >> 16;
        sum += model.count[i];
    }
    if (model.tableShift != 0) {
        buildTable(model);
    }
    model.updateCycle = (5 * model.updateCycle) >> 2;
    const std::uint32_t maxCycle = (n + 6) << 3;
    if (model.updateCycle > maxCycle) {
        model.updateCycle = maxCycle;
    }
    model.symbolsUntilUpdate = model.updateCycle;
}

}  // namespace velaseg::laz
