#include "laz/integer_decompressor.h"

namespace velaseg::laz {

namespace {

// The corrector's top bits go through a model of at most 2^8 symbols; the
// bits below them are read raw.
constexpr std::uint32_t kBitsHigh = 8;

std::int32_t asSigned(std::uint32_t bits)
{
    return static_cast<std::int32_t>(bits);  // two's complement, defined since C++20 and by g++
}

std::uint32_t readCorrector(ArithmeticDecoder& decoder, IntegerDecompressor& ic, std::uint32_t k)
{
    const std::uint32_t modelBits = k < kBitsHigh ? k : kBitsHigh;
    SymbolModel& model = ready(ic.corrModels[k], 1u << modelBits);
    if (k <= kBitsHigh) {
        return decodeSymbol(decoder, model);
    }
    const std::uint32_t lowBits = k - kBitsHigh;
    const std::uint32_t high = decodeSymbol(decoder, model);
    const std::uint32_t low = readBits(decoder, lowBits);
    return (high << lowBits) | low;
}

}  // namespace

void initIntegerDecompressor(IntegerDecompressor& ic, std::uint32_t bits, std::uint32_t contexts)
{
    ic.bits = bits;
    ic.contexts = contexts;
    if (bits < 32) {
        ic.corrRange = 1u << bits;
        ic.corrMin = -asSigned(ic.corrRange / 2);
    } else {
        ic.corrRange = 0;
        ic.corrMin = asSigned(0x80000000u);
    }
    ic.k = 0;
    // Every context's magnitude model is used at once in practice; building
    // them here keeps a check out of every decoded value.
    ic.kModels.resize(contexts);
    for (SymbolModel& model : ic.kModels) {
        initSymbolModel(model, bits + 1);
    }
    ic.corr0 = BitModel();
    ic.corrModels.resize(bits + 1);
    for (SymbolModel& model : ic.corrModels) {
        model.symbols = 0;
    }
}

std::int32_t decompress(ArithmeticDecoder& decoder, IntegerDecompressor& ic, std::int32_t prediction,
                        std::uint32_t context)
{
    const std::uint32_t k = decodeSymbol(decoder, ic.kModels[context]);
    ic.k = k;
    std::uint32_t corrector;
    if (k == 0) {
        corrector = decodeBit(decoder, ic.corr0);
    } else if (k < 32) {
        const std::uint32_t c = readCorrector(decoder, ic, k);
        // c covers [0, 2^k): the upper half maps to 2^(k-1)+1 .. 2^k, the
        // lower half to -(2^k-1) .. -2^(k-1).
        corrector = c >= (1u << (k - 1)) ? c + 1 : c - ((1u << k) - 1);
    } else {
        corrector = static_cast<std::uint32_t>(ic.corrMin);
    }
    std::uint32_t real = static_cast<std::uint32_t>(prediction) + corrector;
    if (ic.corrRange != 0) {
        if (asSigned(real) < 0) {
            real += ic.corrRange;
        } else if (real >= ic.corrRange) {
            real -= ic.corrRange;
        }
    }
    return asSigned(real);
}

}  // namespace velaseg::laz
