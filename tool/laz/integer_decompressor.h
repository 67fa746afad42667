// Integers coded as a correction to a prediction: the magnitude class k of
// the corrector through an adaptive model per context, then its bits (the
// high ones modelled, the rest raw). Every LAZ item builds on this.
#pragma once

#include <cstdint>
#include <vector>

#include "laz/arithmetic_decoder.h"

namespace velaseg::laz {

struct IntegerDecompressor {
    std::uint32_t bits = 0;       // 32: results wrap modulo 2^32
    std::uint32_t contexts = 0;
    std::uint32_t corrRange = 0;  // 2^bits, 0 for 32 bits
    std::int32_t corrMin = 0;
    std::uint32_t k = 0;          // magnitude class of the last corrector
    std::vector<SymbolModel> kModels;  // one per context
    BitModel corr0;
    std::vector<SymbolModel> corrModels;  // [1..bits], built on first use
};

// Fresh models for `bits` (1 to 32) wide values and `contexts` contexts.
void initIntegerDecompressor(IntegerDecompressor& ic, std::uint32_t bits, std::uint32_t contexts);

namespace detail {

// The corrector's top bits go through a model of at most 2^8 symbols; the
// bits below them are read raw.
constexpr std::uint32_t kBitsHigh = 8;

VELASEG_LAZ_INLINE std::uint32_t readCorrector(ArithmeticDecoder& decoder, IntegerDecompressor& ic, std::uint32_t k)
{
    const std::uint32_t modelBits = k < kBitsHigh ? k : kBitsHigh;
    SymbolModel& model = ready(ic.corrModels[k], 1u << modelBits);
    const std::uint32_t high = decodeSymbol(decoder, model);
    if (k <= kBitsHigh) {
        return high;
    }
    const std::uint32_t lowBits = k - kBitsHigh;
    return (high << lowBits) | readBits(decoder, lowBits);
}

}  // namespace detail

// `prediction` plus the decoded corrector; below 32 bits folded into
// [0, 2^bits). `context` must be below the decompressor's context count.
VELASEG_LAZ_INLINE std::int32_t decompress(ArithmeticDecoder& decoder, IntegerDecompressor& ic,
                                           std::int32_t prediction, std::uint32_t context)
{
    const std::uint32_t k = decodeSymbol(decoder, ic.kModels[context]);
    ic.k = k;
    std::uint32_t corrector;
    if (k == 0) {
        corrector = decodeBit(decoder, ic.corr0);
    } else if (k < 32) {
        const std::uint32_t c = detail::readCorrector(decoder, ic, k);
        // c covers [0, 2^k): the upper half maps to 2^(k-1)+1 .. 2^k, the
        // lower half to -(2^k-1) .. -2^(k-1). The half is a coin toss, so
        // arithmetic rather than a branch.
        const std::uint32_t lowerHalf = c < (1u << (k - 1)) ? 1u : 0u;
        corrector = c + 1 - (lowerHalf << k);
    } else {
        corrector = static_cast<std::uint32_t>(ic.corrMin);
    }
    std::uint32_t real = static_cast<std::uint32_t>(prediction) + corrector;
    // Below 32 bits the sum is folded back into [0, corrRange). A 32-bit
    // sum is left as it is: its sign is as random as the corrector's.
    const std::uint32_t range = ic.corrRange;
    if (range != 0) {
        if (static_cast<std::int32_t>(real) < 0) {
            real += range;
        } else if (real >= range) {
            real -= range;
        }
    }
    return static_cast<std::int32_t>(real);
}

}  // namespace velaseg::laz
