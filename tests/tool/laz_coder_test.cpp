// The building blocks of the LAZ decoder on hand-made streams: the byte
// sequences below are taken from the test files, the expected values are
// the worked examples of the format description.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "laz/arithmetic_decoder.h"
#include "laz/integer_decompressor.h"
#include "laz/predictors.h"

namespace {

using namespace velaseg::laz;
using Bytes = std::vector<std::uint8_t>;

// The coded bytes right after the raw first point of simple.laz's only chunk.
const Bytes kSimpleSecondPoint = {
    0xd9, 0x44, 0xba, 0x5e, 0xc9, 0x90, 0x88, 0x29, 0x65, 0x33, 0xcd, 0xd0, 0x50, 0x3e, 0x51, 0x5d,
    0xfc, 0x74, 0xa9, 0x08, 0x34, 0xd2, 0x4f, 0x1e, 0x54, 0x75, 0x2b, 0x1d, 0x91, 0x89, 0x20, 0xe1,
    0xb9, 0xdd, 0xad, 0x58, 0x9a, 0x5b, 0x02, 0x92, 0x28, 0xf3, 0x93, 0x85, 0xfd, 0xc1, 0xad, 0x1d};

ArithmeticDecoder startOn(const Bytes& bytes)
{
    ArithmeticDecoder decoder;
    initDecoder(decoder, bytes.data(), bytes.data() + bytes.size());
    return decoder;
}

std::uint32_t freshSymbol(ArithmeticDecoder& decoder, std::uint32_t symbols)
{
    SymbolModel model;
    initSymbolModel(model, symbols);
    return decodeSymbol(decoder, model);
}

TEST(LazArithmeticDecoder, starts_from_the_first_four_bytes_read_big_endian)
{
    const ArithmeticDecoder decoder = startOn(kSimpleSecondPoint);
    EXPECT_EQ(decoder.value, 0xd944ba5eu);
    EXPECT_EQ(decoder.length, 0xffffffffu);
    EXPECT_EQ(decoder.source.at, kSimpleSecondPoint.data() + 4);
}

TEST(LazArithmeticDecoder, fresh_symbol_models_and_raw_bits_reproduce_the_second_point_of_simple_laz)
{
    // Model sizes with and without the lookup table (more than 16 symbols),
    // and raw bits of 5 to 8, in the order the point's items read them.
    ArithmeticDecoder d = startOn(kSimpleSecondPoint);
    EXPECT_EQ(freshSymbol(d, 64), 54u);    // change mask
    EXPECT_EQ(freshSymbol(d, 256), 0x51u); // return byte
    EXPECT_EQ(freshSymbol(d, 17), 5u);     // intensity: magnitude class
    EXPECT_EQ(freshSymbol(d, 32), 17u);    // intensity: corrector
    EXPECT_EQ(freshSymbol(d, 256), 254u);  // scan angle rank
    EXPECT_EQ(freshSymbol(d, 256), 0x80u); // user data
    EXPECT_EQ(freshSymbol(d, 33), 14u);    // x: class 14
    EXPECT_EQ(freshSymbol(d, 256), 74u);   // x: high bits
    EXPECT_EQ(readBits(d, 6), 56u);        // x: low bits
    EXPECT_EQ(freshSymbol(d, 33), 13u);
    EXPECT_EQ(freshSymbol(d, 256), 185u);
    EXPECT_EQ(readBits(d, 5), 18u);
    EXPECT_EQ(freshSymbol(d, 33), 16u);
    EXPECT_EQ(freshSymbol(d, 256), 174u);
    EXPECT_EQ(readBits(d, 8), 94u);
    EXPECT_EQ(freshSymbol(d, 6), 2u);      // GPS time: full time follows
    EXPECT_EQ(freshSymbol(d, 33), 3u);
    EXPECT_EQ(freshSymbol(d, 8), 4u);
    EXPECT_EQ(readInt(d), 0x9f5534c2u);    // lower half of the new time
    EXPECT_EQ(freshSymbol(d, 128), 85u);   // colour mask
    EXPECT_EQ(freshSymbol(d, 256), 242u);
    EXPECT_EQ(freshSymbol(d, 256), 3u);
    EXPECT_EQ(freshSymbol(d, 256), 248u);
    EXPECT_EQ(d.source.overrun, 0u);
}

TEST(LazArithmeticDecoder, bit_model_adapts_after_four_bits_toward_the_bit_seen)
{
    // All-zero bytes keep value below every split: only zeros come out. All
    // 0xFF bytes keep it above: only ones.
    const Bytes zeros(16, 0x00);
    const Bytes ones(16, 0xFF);
    ArithmeticDecoder d0 = startOn(zeros);
    ArithmeticDecoder d1 = startOn(ones);
    BitModel m0;
    BitModel m1;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(decodeBit(d0, m0), 0u);
        EXPECT_EQ(decodeBit(d1, m1), 1u);
        if (i < 3) {
            EXPECT_EQ(m0.bit0Prob, 4096u) << "the first update comes after four bits";
        }
    }
    // 5 zeros counted of 6: 5 * (2^31 / 6) >> 18; 1 of 6 for the ones.
    EXPECT_EQ(m0.bit0Prob, 6826u);
    EXPECT_EQ(m1.bit0Prob, 1365u);
    EXPECT_EQ(m0.updateCycle, 5u);
}

TEST(LazArithmeticDecoder, reads_past_the_end_yield_zeros_and_are_counted)
{
    const Bytes two = {0x12, 0x34};
    const ArithmeticDecoder d = startOn(two);
    EXPECT_EQ(d.value, 0x12340000u);
    EXPECT_EQ(d.source.overrun, 2u);
    EXPECT_FALSE(endedExactly(d));
}

// The symbol a model decodes, found the literal way: the largest symbol
// whose cumulative share, scaled to the range, does not exceed the value.
std::uint32_t literalDecodeSymbol(ArithmeticDecoder& decoder, SymbolModel& model)
{
    const std::uint32_t full = decoder.length;
    const std::uint32_t unit = full >> 15;
    std::uint32_t s = 0;
    while (s + 1 < model.symbols && model.dist[s + 1] * unit <= decoder.value) {
        ++s;
    }
    const std::uint32_t x = model.dist[s] * unit;
    const std::uint32_t y = s + 1 == model.symbols ? full : model.dist[s + 1] * unit;
    decoder.value -= x;
    decoder.length = y - x;
    if (decoder.length < kMinLength) {
        renormalise(decoder);
    }
    ++model.count[s];
    if (--model.symbolsUntilUpdate == 0) {
        updateSymbolModel(model);
    }
    return s;
}

TEST(LazArithmeticDecoder, table_search_finds_the_same_symbols_as_the_literal_search)
{
    std::mt19937 random(20240607);
    // Skewed bytes make skewed symbol statistics, so the models' tables
    // get uneven slices.
    std::uniform_int_distribution<int> byte(0, 255);
    // The short stream runs out: its last bytes and the zeros past its end
    // are taken one at a time.
    for (std::size_t bytes : {40000u, 300u}) {
        SCOPED_TRACE(bytes);
        for (std::uint32_t symbols : {2u, 3u, 16u, 17u, 33u, 64u, 128u, 256u, 515u, 516u, 2048u}) {
            SCOPED_TRACE(symbols);
            Bytes stream(bytes);
            for (auto& b : stream) {
                b = static_cast<std::uint8_t>(byte(random) & byte(random));
            }
            ArithmeticDecoder fast = startOn(stream);
            ArithmeticDecoder literal = startOn(stream);
            SymbolModel fastModel;
            SymbolModel literalModel;
            initSymbolModel(fastModel, symbols);
            initSymbolModel(literalModel, symbols);
            std::size_t differing = 0;
            for (int i = 0; i < 20000 && (bytes < 1000 || fast.source.overrun == 0); ++i) {
                differing += decodeSymbol(fast, fastModel) != literalDecodeSymbol(literal, literalModel);
            }
            EXPECT_EQ(differing, 0u);
            EXPECT_EQ(fast.value, literal.value);
            EXPECT_EQ(fast.length, literal.length);
            EXPECT_EQ(fast.source.at, literal.source.at);
            EXPECT_EQ(fast.source.overrun, literal.source.overrun);
        }
    }
}

TEST(LazArithmeticDecoder, damaged_stream_whose_value_fills_the_range_decodes_as_the_literal_search)
{
    // Four 0xFF bytes start value equal to length, which no encoder writes:
    // value / unit then lies past every slice, and each symbol must be the
    // last, as the literal search has it, without reading past the table.
    const Bytes stream(64, 0xFF);
    for (std::uint32_t symbols : {2u, 17u, 256u, 2048u}) {
        SCOPED_TRACE(symbols);
        ArithmeticDecoder fast = startOn(stream);
        ArithmeticDecoder literal = startOn(stream);
        SymbolModel fastModel;
        SymbolModel literalModel;
        initSymbolModel(fastModel, symbols);
        initSymbolModel(literalModel, symbols);
        for (int i = 0; i < 200; ++i) {
            const std::uint32_t expected = literalDecodeSymbol(literal, literalModel);
            ASSERT_EQ(decodeSymbol(fast, fastModel), expected);
            ASSERT_EQ(fast.value, literal.value);
            ASSERT_EQ(fast.length, literal.length);
        }
    }
}

TEST(LazIntegerDecompressor, chunk_table_of_simple_laz_gives_its_one_chunk_size)
{
    // Class 15 (33-symbol model), high symbol 139, 7 raw bits 69:
    // 139 * 128 + 69 = 17861 in the upper half, so the corrector is +17862.
    const Bytes table = {0x78, 0x96, 0x05, 0x00, 0x00, 0x00};
    ArithmeticDecoder d = startOn(table);
    IntegerDecompressor ic;
    initIntegerDecompressor(ic, 32, 2);
    EXPECT_EQ(decompress(d, ic, 0, 1), 17862);
    EXPECT_EQ(ic.k, 15u);
    EXPECT_TRUE(endedExactly(d));
}

TEST(LazIntegerDecompressor, each_chunk_size_of_autzen_is_predicted_from_the_previous_one)
{
    const Bytes table = {0x97, 0x95, 0x55, 0x15, 0x5d, 0xc7, 0x3a, 0x6a, 0x63, 0x00, 0x00, 0x00};
    ArithmeticDecoder d = startOn(table);
    IntegerDecompressor ic;
    initIntegerDecompressor(ic, 32, 2);
    std::int32_t previous = 0;
    std::vector<std::int32_t> sizes;
    for (int i = 0; i < 3; ++i) {
        previous = decompress(d, ic, previous, 1);
        sizes.push_back(previous);
    }
    EXPECT_EQ(sizes, (std::vector<std::int32_t>{283499, 262423, 55259}));
    EXPECT_TRUE(endedExactly(d));
}

TEST(LazIntegerDecompressor, narrow_values_fold_back_into_their_range)
{
    // Whatever the stream, a 16-bit decompressor returns a 16-bit value and
    // an 8-bit one an 8-bit value, from any prediction in that range (a
    // negative prediction can come back negative; only its low bits count).
    std::mt19937 random(7);
    Bytes stream(4096);
    for (auto& b : stream) {
        b = static_cast<std::uint8_t>(random());
    }
    for (std::uint32_t bits : {8u, 16u}) {
        ArithmeticDecoder d = startOn(stream);
        IntegerDecompressor ic;
        initIntegerDecompressor(ic, bits, 2);
        std::size_t outside = 0;
        for (int i = 0; i < 500; ++i) {
            const std::int32_t prediction = static_cast<std::int32_t>(random() % (1u << bits));
            const std::int32_t v = decompress(d, ic, prediction, static_cast<std::uint32_t>(i & 1));
            outside += v < 0 || v >= (1 << bits);
        }
        EXPECT_EQ(outside, 0u) << bits << " bits";
    }
}

// The corrector decoded the literal way: branches on its class and half,
// and the fold for narrow values.
std::int32_t literalDecompress(ArithmeticDecoder& d, IntegerDecompressor& ic, std::int32_t prediction,
                               std::uint32_t context)
{
    const std::uint32_t k = decodeSymbol(d, ic.kModels[context]);
    ic.k = k;
    std::uint32_t corrector;
    if (k == 0) {
        corrector = decodeBit(d, ic.corr0);
    } else if (k < 32) {
        std::uint32_t c;
        if (k <= 8) {
            c = decodeSymbol(d, ready(ic.corrModels[k], 1u << k));
        } else {
            const std::uint32_t high = decodeSymbol(d, ready(ic.corrModels[k], 256));
            c = (high << (k - 8)) | readBits(d, k - 8);
        }
        if (c >= (1u << (k - 1))) {
            corrector = c + 1;
        } else {
            corrector = c - ((1u << k) - 1);
        }
    } else {
        corrector = static_cast<std::uint32_t>(ic.corrMin);
    }
    std::uint32_t real = static_cast<std::uint32_t>(prediction) + corrector;
    if (ic.corrRange != 0) {
        if (static_cast<std::int32_t>(real) < 0) {
            real += ic.corrRange;
        } else if (real >= ic.corrRange) {
            real -= ic.corrRange;
        }
    }
    return static_cast<std::int32_t>(real);
}

TEST(LazIntegerDecompressor, gives_the_literal_corrections_for_every_width_and_prediction)
{
    std::mt19937 random(20250117);
    for (std::uint32_t bits : {8u, 16u, 32u}) {
        SCOPED_TRACE(bits);
        // Uneven bytes make every magnitude class come up, raw bits included.
        Bytes stream(60000);
        for (auto& b : stream) {
            b = static_cast<std::uint8_t>(random() & random());
        }
        ArithmeticDecoder fast = startOn(stream);
        ArithmeticDecoder literal = startOn(stream);
        IntegerDecompressor fastIc;
        IntegerDecompressor literalIc;
        initIntegerDecompressor(fastIc, bits, 3);
        initIntegerDecompressor(literalIc, bits, 3);
        std::size_t differing = 0;
        for (int i = 0; i < 20000 && fast.source.overrun == 0; ++i) {
            // Mostly in range, sometimes anything (a damaged stream's prediction).
            std::uint32_t prediction = static_cast<std::uint32_t>(random());
            if (bits < 32 && i % 8 != 0) {
                prediction &= (1u << bits) - 1;
            }
            const std::int32_t p = static_cast<std::int32_t>(prediction);
            const std::uint32_t context = static_cast<std::uint32_t>(i % 3);
            differing += decompress(fast, fastIc, p, context) != literalDecompress(literal, literalIc, p, context);
            differing += fastIc.k != literalIc.k;
        }
        EXPECT_EQ(differing, 0u);
        EXPECT_EQ(fast.value, literal.value);
        EXPECT_EQ(fast.source.at, literal.source.at);
    }
}

// The streaming median as the encoder updates it, slot by slot.
void literalAddToMedian(StreamingMedian5& m, std::int32_t x)
{
    std::int32_t* v = m.v;
    if (m.high) {
        if (x < v[2]) {
            v[4] = v[3];
            v[3] = v[2];
            if (x < v[0]) {
                v[2] = v[1];
                v[1] = v[0];
                v[0] = x;
            } else if (x < v[1]) {
                v[2] = v[1];
                v[1] = x;
            } else {
                v[2] = x;
            }
        } else {
            if (x < v[3]) {
                v[4] = v[3];
                v[3] = x;
            } else {
                v[4] = x;
            }
            m.high = false;
        }
    } else {
        if (v[2] < x) {
            v[0] = v[1];
            v[1] = v[2];
            if (v[4] < x) {
                v[2] = v[3];
                v[3] = v[4];
                v[4] = x;
            } else if (v[3] < x) {
                v[2] = v[3];
                v[3] = x;
            } else {
                v[2] = x;
            }
        } else {
            if (v[1] < x) {
                v[0] = v[1];
                v[1] = x;
            } else {
                v[0] = x;
            }
            m.high = true;
        }
    }
}

TEST(LazStreamingMedian, follows_the_literal_update_through_ties_and_extremes)
{
    std::mt19937 random(99);
    // Few distinct values make ties with every slot; the extremes check
    // that nothing overflows.
    const std::int32_t extremes[] = {INT32_MIN, -1, 0, 1, INT32_MAX};
    for (std::uint32_t spread : {3u, 40u, 0u}) {
        SCOPED_TRACE(spread);
        StreamingMedian5 fast;
        StreamingMedian5 literal;
        for (int i = 0; i < 20000; ++i) {
            std::int32_t x;
            if (spread == 0) {
                x = i % 5 == 0 ? extremes[random() % 5] : static_cast<std::int32_t>(random());
            } else {
                x = static_cast<std::int32_t>(random() % spread) - static_cast<std::int32_t>(spread / 2);
            }
            addToMedian(fast, x);
            literalAddToMedian(literal, x);
            ASSERT_TRUE(std::equal(fast.v, fast.v + 5, literal.v)) << "after value " << i;
            ASSERT_EQ(fast.high, literal.high) << "after value " << i;
        }
    }
}

}  // namespace
