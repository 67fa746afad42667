// The range decoder of LAZ point data with its adaptive bit and symbol
// models (Said and Pearlman's fast arithmetic coder, 32-bit state).
//
// A point costs a dozen or more decoding steps, each waiting for the state
// the previous one left, so speed is the length of that chain. Everything a
// step does is therefore inline (the rare model updates aside, which never
// see the decoder): a caller that keeps its decoder in a local variable
// keeps value and length in registers rather than storing and reloading
// them at every step, and data-dependent selections are conditional moves,
// not branches the processor would mispredict.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace velaseg::laz {

// Bytes of one coded stream. Reads past the end yield 0 and are counted,
// never performed: a damaged stream decodes to garbage that the chunk's end
// check rejects, not to a read outside the input.
struct ByteSource {
    const std::uint8_t* at = nullptr;
    const std::uint8_t* end = nullptr;
    std::uint32_t overrun = 0;
};

#define VELASEG_LAZ_INLINE [[gnu::always_inline]] inline

// `x < limit ? a : b` as a conditional move. Where the condition is as
// random as the data a branch would be mispredicted half the time, and g++
// turns plain selections back into branches when several share one
// condition.
VELASEG_LAZ_INLINE std::uint32_t selectBelow(std::uint32_t x, std::uint32_t limit, std::uint32_t a, std::uint32_t b)
{
#if defined(__GNUC__) && defined(__x86_64__)
    __asm__("cmpl %[limit], %[x]\n\tcmovb %[a], %[b]" : [b] "+r"(b) : [x] "r"(x), [limit] "ri"(limit), [a] "rm"(a) : "cc");
    return b;
#else
    return x < limit ? a : b;
#endif
}

// The value itself, hidden from the optimiser: g++ cannot merge the
// comparisons made on it with those made on the original into one branch.
VELASEG_LAZ_INLINE std::int32_t opaque(std::int32_t value)
{
#if defined(__GNUC__)
    __asm__("" : "+r"(value));
#endif
    return value;
}

VELASEG_LAZ_INLINE std::uint32_t nextByte(ByteSource& source)
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
VELASEG_LAZ_INLINE void initDecoder(ArithmeticDecoder& decoder, const std::uint8_t* begin, const std::uint8_t* end)
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

// True when the decoder has read exactly the bytes of its stream: the
// encoder's flush is sized so that a correct decode stops at its end.
inline bool endedExactly(const ArithmeticDecoder& decoder)
{
    return decoder.source.at == decoder.source.end && decoder.source.overrun == 0;
}

// Shifts in the bytes that bring length back to at least 2^24. Every
// decoding step leaves length above 0 (each step keeps a nonzero share of a
// length of at least 2^24), so one to three bytes are due; with four bytes
// left they are taken in one load.
VELASEG_LAZ_INLINE void renormalise(ArithmeticDecoder& decoder)
{
    ByteSource& source = decoder.source;
    if (__builtin_expect(source.end - source.at < 4, 0)) {
        // Near the end: byte by byte, counting what is missing.
        do {
            decoder.value = (decoder.value << 8) | nextByte(source);
            decoder.length <<= 8;
        } while (decoder.length < kMinLength);
        return;
    }
    const std::uint32_t bytes = static_cast<std::uint32_t>(__builtin_clz(decoder.length)) >> 3;
    std::uint32_t next;
    std::memcpy(&next, source.at, 4);
    next = __builtin_bswap32(next);  // the stream is big-endian
    const std::uint32_t bits = 8 * bytes;
    decoder.value = static_cast<std::uint32_t>((((std::uint64_t(decoder.value) << 32) | next) << bits) >> 32);
    decoder.length <<= bits;
    source.at += bytes;
}

// Renormalisation after a modelled step. Whether the step left length
// below 2^24 is as random as the symbol, so the usual case, one byte or
// none, is a selection rather than a branch the processor would mispredict
// one step in three; two or three bytes (a rare, improbable symbol) and the
// last bytes of the stream take the loop.
VELASEG_LAZ_INLINE void renormaliseAfterStep(ArithmeticDecoder& decoder)
{
    ByteSource& source = decoder.source;
    if (__builtin_expect(source.at == source.end, 0)) {
        if (decoder.length < kMinLength) {
            renormalise(decoder);
        }
        return;
    }
    const std::uint32_t length = decoder.length;
    decoder.value = selectBelow(length, kMinLength, (decoder.value << 8) | *source.at, decoder.value);
    decoder.length = selectBelow(length, kMinLength, length << 8, length);
    source.at += length < kMinLength ? 1 : 0;
    if (__builtin_expect(decoder.length < kMinLength, 0)) {
        renormalise(decoder);
    }
}

struct BitModel {
    std::uint32_t bit0Count = 1;
    std::uint32_t bitCount = 2;
    std::uint32_t bit0Prob = 1u << 12;
    std::uint32_t updateCycle = 4;
    std::uint32_t bitsUntilUpdate = 4;
};

void updateBitModel(BitModel& model);

VELASEG_LAZ_INLINE std::uint32_t decodeBit(ArithmeticDecoder& decoder, BitModel& model)
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
// never touched, so they are built on first use. Its arrays are kept from
// chunk to chunk.
//
// Decoding a symbol needs the largest s with dist[s] <= value / unit, and
// dist[s] and dist[s + 1] to narrow the range. Every model (not only those
// over 16 symbols, which the format gives a table) has a table over slices
// of the distribution. Entry t packs the largest symbol s whose dist lies
// below slice t together with dist[s], dist[s + 1] and dist[s + 2]: one load
// then settles most symbols, where a search would wait for a load per step.
struct SymbolModel {
    std::uint64_t* table = nullptr;  // tableSize + 1 entries: s | dist[s] << 16 | dist[s+1] << 32 | dist[s+2] << 48
    std::uint16_t* dist = nullptr;   // cumulative, 15-bit fixed point; 0xFFFF after the last symbol
    std::uint16_t* count = nullptr;
    std::uint32_t symbols = 0;
    std::uint32_t tableShift = 0;
    std::uint32_t tableSize = 0;
    std::uint32_t total = 0;
    std::uint32_t updateCycle = 0;
    std::uint32_t symbolsUntilUpdate = 0;
    std::unique_ptr<std::uint64_t[]> tableStorage;
    std::unique_ptr<std::uint16_t[]> countStorage;  // dist, then count
    std::size_t tableCapacity = 0;
    std::size_t countCapacity = 0;
};

// Past the last symbol: above any dist entry and any (clamped) value / unit.
constexpr std::uint32_t kPastLast = 0xFFFF;

void initSymbolModel(SymbolModel& model, std::uint32_t symbols);
void updateSymbolModel(SymbolModel& model);

// The answer when the table's entry does not reach it: the slice holds more
// than two symbols, or a damaged stream left value beyond the range (which
// decodes the last symbol, as a literal search does). Searches on from
// symbol `from`, at or below the answer.
std::uint32_t searchBeyondEntry(const SymbolModel& model, std::uint32_t from, std::uint32_t dv);

VELASEG_LAZ_INLINE SymbolModel& ready(SymbolModel& model, std::uint32_t symbols)
{
    if (__builtin_expect(model.symbols == 0, 0)) {
        initSymbolModel(model, symbols);
    }
    return model;
}

VELASEG_LAZ_INLINE std::uint32_t decodeSymbol(ArithmeticDecoder& decoder, SymbolModel& model)
{
    const std::uint32_t full = decoder.length;
    const std::uint32_t unit = full >> 15;
    // dist[s] * unit <= value exactly when dist[s] <= value / unit.
    const std::uint32_t dv = decoder.value / unit;
    const std::uint32_t slice = dv >> model.tableShift;
    const std::uint64_t entry = model.table[slice < model.tableSize ? slice : model.tableSize];
    std::uint32_t s = static_cast<std::uint32_t>(entry & 0xFFFF);
    std::uint32_t low = static_cast<std::uint32_t>(entry >> 16) & 0xFFFF;
    std::uint32_t high = static_cast<std::uint32_t>(entry >> 32) & 0xFFFF;
    const std::uint32_t next = static_cast<std::uint32_t>(entry >> 48);
    if (__builtin_expect(dv >= next, 0)) {
        s = searchBeyondEntry(model, s, dv);
        low = model.dist[s];
        high = model.dist[s + 1];
    } else {
        // The first candidate or the second: as good as random, so one
        // conditional move (of both bounds at once) rather than a branch.
        const bool second = dv >= high;
        s += second;
        const std::uint32_t bounds = static_cast<std::uint32_t>(second ? entry >> 32 : entry >> 16);
        low = bounds & 0xFFFF;
        high = bounds >> 16;
    }
    const std::uint32_t x = low * unit;
    // The last symbol takes the rounding slack of the range: past it, high
    // times unit exceeds full, and below it never reaches full.
    const std::uint32_t y = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t(high) * unit, full));
    decoder.value -= x;
    decoder.length = y - x;
    renormaliseAfterStep(decoder);
    ++model.count[s];
    if (--model.symbolsUntilUpdate == 0) {
        updateSymbolModel(model);
    }
    return s;
}

VELASEG_LAZ_INLINE std::uint32_t readShort(ArithmeticDecoder& decoder)
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

// Up to 19 unmodelled bits at once.
VELASEG_LAZ_INLINE std::uint32_t readFewBits(ArithmeticDecoder& decoder, std::uint32_t bits)
{
    decoder.length >>= bits;
    const std::uint32_t sym = decoder.value / decoder.length;
    decoder.value -= sym * decoder.length;
    if (decoder.length < kMinLength) {
        renormalise(decoder);
    }
    return sym & ((1u << bits) - 1);
}

// `bits` unmodelled bits, 1 to 32; more than 19 come as 16 low bits first.
VELASEG_LAZ_INLINE std::uint32_t readBits(ArithmeticDecoder& decoder, std::uint32_t bits)
{
    if (bits > 19) {
        const std::uint32_t low = readShort(decoder);
        return (readFewBits(decoder, bits - 16) << 16) | low;
    }
    return readFewBits(decoder, bits);
}

VELASEG_LAZ_INLINE std::uint32_t readInt(ArithmeticDecoder& decoder)
{
    const std::uint32_t low = readShort(decoder);
    const std::uint32_t high = readShort(decoder);
    return (high << 16) | low;
}

VELASEG_LAZ_INLINE std::uint64_t readInt64(ArithmeticDecoder& decoder)
{
    const std::uint64_t low = readInt(decoder);
    const std::uint64_t high = readInt(decoder);
    return (high << 32) | low;
}

}  // namespace velaseg::laz
