// The range decoder of LAZ point data with its adaptive bit and symbol
// models (Said and Pearlman's fast arithmetic coder, 32-bit state). The hot
// calls are inline: a point costs a dozen of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velaseg::laz {

// Bytes of one coded stream. Reads past the end yield 0 and are counted,
// never performed: a damaged stream decodes to garbage that the chunk's end
// check rejects, not to a read outside the input.
struct ByteSource {
    const std::uint8_t* at = nullptr;
    const std::uint8_t* end = nullptr;
    std::uint32_t overrun = 0;
};

inline std::uint32_t nextByte(ByteSource& source)
{
    if (source.at < source.end) {
        return *source.at++;
    }
    ++source.overrun;
    return 0;
}

struct ArithmeticDecoder {
    ByteSource source;
    std::uint32_t value = 0;
    std::uint32_t length = 0;
};

constexpr std::uint32_t kMinLength = 0x01000000u;  // renormalise below this

// Starts decoding the stream [begin, end): reads its first four bytes.
void initDecoder(ArithmeticDecoder& decoder, const std::uint8_t* begin, const std::uint8_t* end);

// True when the decoder has read exactly the bytes of its stream: the
// encoder's flush is sized so that a correct decode stops at its end.
inline bool endedExactly(const ArithmeticDecoder& decoder)
{
    return decoder.source.at == decoder.source.end && decoder.source.overrun == 0;
}

inline void renormalise(ArithmeticDecoder& decoder)
{
    do {
        decoder.value = (decoder.value << 8) | nextByte(decoder.source);
        decoder.length <<= 8;
    } while (decoder.length < kMinLength);
}

struct BitModel {
    std::uint32_t bit0Count = 1;
    std::uint32_t bitCount = 2;
    std::uint32_t bit0Prob = 1u << 12;
    std::uint32_t updateCycle = 4;
    std::uint32_t bitsUntilUpdate = 4;
};

void updateBitModel(BitModel& model);

inline std::uint32_t decodeBit(ArithmeticDecoder& decoder, BitModel& model)
{
    const std::uint32_t x = model.bit0Prob * (decoder.length >> 13);
    std::uint32_t bit;
    if (decoder.value < x) {
        bit = 0;
        decoder.length = x;
        ++model.bit0Count;
    } else {
        bit = 1;
        decoder.value -= x;
        decoder.length -= x;
    }
    if (decoder.length < kMinLength) {
        renormalise(decoder);
    }
    if (--model.bitsUntilUpdate == 0) {
        updateBitModel(model);
    }
    return bit;
}

// An adaptive model over symbols 0..symbols-1. `symbols == 0` marks a model
// not set up yet in this chunk: most of the per-value models of an item are
// never touched, so they are built on first use.
struct SymbolModel {
    std::uint32_t symbols = 0;
    std::uint32_t total = 0;
    std::uint32_t updateCycle = 0;
    std::uint32_t symbolsUntilUpdate = 0;
    std::uint32_t tableShift = 0;  // 0: no lookup table (16 symbols or fewer)
    std::uint32_t tableSize = 0;
    std::vector<std::uint32_t> dist;   // cumulative, 15-bit fixed point
    std::vector<std::uint32_t> count;
    std::vector<std::uint32_t> table;  // first candidate per slice of dist
};

void initSymbolModel(SymbolModel& model, std::uint32_t symbols);
void updateSymbolModel(SymbolModel& model);

inline SymbolModel& ready(SymbolModel& model, std::uint32_t symbols)
{
    if (model.symbols == 0) {
        initSymbolModel(model, symbols);
    }
    return model;
}

[[gnu::always_inline]] inline std::uint32_t decodeSymbol(ArithmeticDecoder& decoder, SymbolModel& model)
{
    const std::uint32_t last = model.symbols - 1;
    const std::uint32_t* dist = model.dist.data();
    const std::uint32_t full = decoder.length;
    const std::uint32_t unit = full >> 15;
    std::uint32_t s;
    std::uint32_t x;
    std::uint32_t y;
    if (model.tableShift != 0) {
        const std::uint32_t dv = decoder.value / unit;
        // A damaged stream can leave value beyond length, pointing past the
        // table: clamp to its last slice.
        std::uint32_t t = dv >> model.tableShift;
        if (t > model.tableSize) {
            t = model.tableSize;
        }
        const std::uint32_t* table = model.table.data();
        s = table[t];
        std::uint32_t hi = table[t + 1] + 1;
        while (hi > s + 1) {
            const std::uint32_t mid = (s + hi) >> 1;
            if (dist[mid] > dv) {
                hi = mid;
            } else {
                s = mid;
            }
        }
        x = dist[s] * unit;
        y = s == last ? full : dist[s + 1] * unit;
    } else {
        s = 0;
        x = 0;
        y = full;
        std::uint32_t hi = model.symbols;
        std::uint32_t mid = hi >> 1;
        do {
            const std::uint32_t z = unit * dist[mid];
            if (z > decoder.value) {
                hi = mid;
                y = z;
            } else {
                s = mid;
                x = z;
            }
            mid = (s + hi) >> 1;
        } while (mid != s);
    }
    decoder.value -= x;
    decoder.length = y - x;
    if (decoder.length < kMinLength) {
        renormalise(decoder);
    }
    ++model.count.data()[s];
    if (--model.symbolsUntilUpdate == 0) {
        updateSymbolModel(model);
    }
    return s;
}

inline std::uint32_t readShort(ArithmeticDecoder& decoder)
{
    decoder.length >>= 16;
    const std::uint32_t sym = decoder.value / decoder.length;
    decoder.value -= sym * decoder.length;
    if (decoder.length < kMinLength) {
        renormalise(decoder);
    }
    // Valid data keeps sym below 2^16; damaged data may not, and the extra
    // bits must not leak into the caller's other half.
    return sym & 0xFFFFu;
}

// `bits` unmodelled bits, 1 to 32.
inline std::uint32_t readBits(ArithmeticDecoder& decoder, std::uint32_t bits)
{
    if (bits > 19) {
        const std::uint32_t low = readShort(decoder);
        const std::uint32_t high = readBits(decoder, bits - 16);
        return (high << 16) | low;
    }
    decoder.length >>= bits;
    const std::uint32_t sym = decoder.value / decoder.length;
    decoder.value -= sym * decoder.length;
    if (decoder.length < kMinLength) {
        renormalise(decoder);
    }
    return sym & ((1u << bits) - 1);
}

inline std::uint32_t readInt(ArithmeticDecoder& decoder)
{
    const std::uint32_t low = readShort(decoder);
    const std::uint32_t high = readShort(decoder);
    return (high << 16) | low;
}

inline std::uint64_t readInt64(ArithmeticDecoder& decoder)
{
    const std::uint64_t low = readInt(decoder);
    const std::uint64_t high = readInt(decoder);
    return (high << 32) | low;
}

}  // namespace velaseg::laz
