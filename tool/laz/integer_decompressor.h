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

// `prediction` plus the decoded corrector; below 32 bits folded into
// [0, 2^bits). `context` must be below the decompressor's context count.
std::int32_t decompress(ArithmeticDecoder& decoder, IntegerDecompressor& ic, std::int32_t prediction,
                        std::uint32_t context);

}  // namespace velaseg::laz
