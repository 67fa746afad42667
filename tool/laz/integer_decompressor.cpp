#include "laz/integer_decompressor.h"

namespace velaseg::laz {

namespace {

std::int32_t asSigned(std::uint32_t bits)
{
    return static_cast<std::int32_t>(bits);  // two's complement, defined since C++20 and by g++
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

}  // namespace velaseg::laz
