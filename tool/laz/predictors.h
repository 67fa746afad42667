// What the pointwise and the layered items share: the streaming median of
// coordinate differences, the return-number context tables, and the RGB and
// GPS-time predictors.
#pragma once

#include <algorithm>
#include <cstdint>

#include "laz/arithmetic_decoder.h"
#include "laz/integer_decompressor.h"

namespace velaseg::laz {

// Approximates the median of recent values with five slots. Not an exact
// sliding-window median: the encoder predicts with exactly this update, so
// the decoder must too.
struct StreamingMedian5 {
    std::int32_t v[5] = {0, 0, 0, 0, 0};
    bool high = true;
};

inline std::int32_t median(const StreamingMedian5& m)
{
    return m.v[2];
}

// The slots stay sorted: adding drops the largest slot while `high` and
// the smallest otherwise, and x takes its place in the order. Written with
// min and max, not the branches this reads as: whether x lands below the
// middle is as random as the data.
VELASEG_LAZ_INLINE void addToMedian(StreamingMedian5& m, std::int32_t x)
{
    std::int32_t* v = m.v;
    const std::int32_t middle = v[2];
    const std::int32_t* kept = v + (m.high ? 0 : 1);
    const std::int32_t a0 = kept[0];
    const std::int32_t a1 = kept[1];
    const std::int32_t a2 = kept[2];
    const std::int32_t a3 = kept[3];
    v[0] = std::min(a0, x);
    v[1] = std::max(a0, std::min(a1, x));
    v[2] = std::max(a1, std::min(a2, x));
    v[3] = std::max(a2, std::min(a3, x));
    // g++ would merge the last two slots' comparisons into one branch.
    v[4] = std::max(a3, opaque(x));
    // The phase turns when x lands on the side it was dropping from. The
    // comparisons are taken from the sign of a 64-bit difference, as g++
    // turns boolean ones back into a branch.
    const std::uint64_t difference = static_cast<std::uint64_t>(std::int64_t(x) - middle);
    const std::uint64_t below = difference >> 63;
    const std::uint64_t tie = ((difference - 1) >> 63) & ~below;  // difference == 0
    m.high = (below | (tie & (m.high ? 0u : 1u))) != 0;
}

// Context tables indexed [number of returns][return number]: 3-bit fields
// for formats 0 to 5, 4-bit fields for formats 6 to 10.
extern const std::uint8_t kReturnMap[8][8];
extern const std::uint8_t kReturnLevel[8][8];
extern const std::uint8_t kReturnMap6[16][16];
extern const std::uint8_t kReturnLevel8[16][16];

// The byte-wise colour predictor: red from the previous red, green and blue
// from the previous green and blue shifted by red's change.
struct RgbModels {
    SymbolModel used;  // which bytes changed, and whether green/blue differ from red
    SymbolModel bytes[6];
};

void resetRgbModels(RgbModels& models);

namespace detail {

VELASEG_LAZ_INLINE std::uint32_t clamp8(std::int32_t v)
{
    return v <= 0 ? 0u : v >= 255 ? 255u : static_cast<std::uint32_t>(v);
}

// A byte's change, from its model.
VELASEG_LAZ_INLINE std::int32_t rgbDelta(ArithmeticDecoder& decoder, RgbModels& models, int byte)
{
    return static_cast<std::int32_t>(decodeSymbol(decoder, ready(models.bytes[byte], 256)));
}

// Green and blue of one byte plane (0 low, 1 high) into out: green follows
// red's change, blue the mean of red's and green's (a C division, truncating
// toward zero).
VELASEG_LAZ_INLINE void decodeGreenBlue(ArithmeticDecoder& decoder, RgbModels& models, std::uint32_t s, int plane,
                                        std::int32_t red, const std::int32_t last[3], std::int32_t out[2])
{
    std::int32_t diff = red - last[0];
    const std::int32_t green =
        (s & (4u << plane)) ? (rgbDelta(decoder, models, 2 + plane) + clamp8(diff + last[1])) & 0xFF : last[1];
    std::int32_t blue = last[2];
    if (s & (16u << plane)) {
        const std::int32_t c = rgbDelta(decoder, models, 4 + plane);
        diff = (diff + (green - last[1])) / 2;
        blue = (c + clamp8(diff + last[2])) & 0xFF;
    }
    out[0] = green;
    out[1] = blue;
}

}  // namespace detail

// Decodes one colour into rgb from the previous colour `last`.
VELASEG_LAZ_INLINE void decodeRgb(ArithmeticDecoder& decoder, RgbModels& models, const std::uint16_t last[3],
                                  std::uint16_t rgb[3])
{
    const std::uint32_t s = decodeSymbol(decoder, ready(models.used, 128));
    const std::int32_t lastLo[3] = {last[0] & 0xFF, last[1] & 0xFF, last[2] & 0xFF};
    const std::int32_t lastHi[3] = {last[0] >> 8, last[1] >> 8, last[2] >> 8};

    const std::int32_t redLo = (s & 1) ? (detail::rgbDelta(decoder, models, 0) + lastLo[0]) & 0xFF : lastLo[0];
    const std::int32_t redHi = (s & 2) ? (detail::rgbDelta(decoder, models, 1) + lastHi[0]) & 0xFF : lastHi[0];
    rgb[0] = static_cast<std::uint16_t>(redLo | (redHi << 8));
    if ((s & 64) == 0) {
        // Grey: green and blue equal red.
        rgb[1] = rgb[0];
        rgb[2] = rgb[0];
        return;
    }
    // Low bytes, then high bytes.
    std::int32_t lo[2];
    std::int32_t hi[2];
    detail::decodeGreenBlue(decoder, models, s, 0, redLo, lastLo, lo);
    detail::decodeGreenBlue(decoder, models, s, 1, redHi, lastHi, hi);
    rgb[1] = static_cast<std::uint16_t>(lo[0] | (hi[0] << 8));
    rgb[2] = static_cast<std::uint16_t>(lo[1] | (hi[1] << 8));
}

// GPS time as a u64 bit pattern, followed in up to four interleaved
// sequences (several scanners write one file).
struct GpsTimeState {
    std::uint64_t time[4] = {0, 0, 0, 0};
    std::int32_t diff[4] = {0, 0, 0, 0};
    std::int32_t extreme[4] = {0, 0, 0, 0};
    std::uint32_t last = 0;
    std::uint32_t next = 0;
};

struct GpsTimeModels {
    SymbolModel multi;
    SymbolModel zeroDiff;
    IntegerDecompressor ic;
};

// The two GPS coders differ only in their symbol numbering: the pointwise
// one spends a symbol on "unchanged" in both models, the layered one
// signals that in the point's change mask instead.
enum class GpsNumbering { pointwise, layered };

// Starts from `first`; the models are built when the first time is decoded.
void resetGpsTime(GpsTimeState& state, GpsTimeModels& models, std::uint64_t first);

namespace detail {

// Wrapping i32 product: the encoder multiplies in C ints and relies on the wrap.
VELASEG_LAZ_INLINE std::int32_t times(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

VELASEG_LAZ_INLINE std::uint64_t plus(std::uint64_t time, std::int32_t diff)
{
    return time + static_cast<std::uint64_t>(static_cast<std::int64_t>(diff));
}

VELASEG_LAZ_INLINE void fullTime(ArithmeticDecoder& decoder, GpsTimeState& s, GpsTimeModels& models)
{
    s.next = (s.next + 1) & 3;
    const std::int32_t high =
        decompress(decoder, models.ic, static_cast<std::int32_t>(static_cast<std::uint32_t>(s.time[s.last] >> 32)), 8);
    const std::uint32_t low = readInt(decoder);
    s.time[s.next] = (std::uint64_t(static_cast<std::uint32_t>(high)) << 32) | low;
    s.last = s.next;
    s.diff[s.last] = 0;
    s.extreme[s.last] = 0;
}

// A difference that is far from the current one replaces it only after it
// has been seen four times in a row.
VELASEG_LAZ_INLINE void countExtreme(GpsTimeState& s, std::int32_t d)
{
    if (++s.extreme[s.last] > 3) {
        s.diff[s.last] = d;
        s.extreme[s.last] = 0;
    }
}

// Symbols 0 and 2..510 of the multi model: the time moves by a multiple of
// the current difference plus a corrector.
VELASEG_LAZ_INLINE void decodeMultiple(ArithmeticDecoder& decoder, GpsTimeState& s, GpsTimeModels& models,
                                       std::uint32_t symbol)
{
    const std::int32_t current = s.diff[s.last];
    std::int32_t d;
    if (symbol == 0) {
        d = decompress(decoder, models.ic, 0, 7);
        countExtreme(s, d);
    } else if (symbol < 500) {
        d = decompress(decoder, models.ic, times(static_cast<std::int32_t>(symbol), current), symbol < 10 ? 2 : 3);
    } else if (symbol == 500) {
        d = decompress(decoder, models.ic, times(500, current), 4);
        countExtreme(s, d);
    } else {
        const std::int32_t factor = 500 - static_cast<std::int32_t>(symbol);  // -1 .. -10
        if (factor > -10) {
            d = decompress(decoder, models.ic, times(factor, current), 5);
        } else {
            d = decompress(decoder, models.ic, times(-10, current), 6);
            countExtreme(s, d);
        }
    }
    s.time[s.last] = plus(s.time[s.last], d);
}

}  // namespace detail

// Decodes the next time; afterwards state.time[state.last] holds it.
VELASEG_LAZ_INLINE void decodeGpsTime(ArithmeticDecoder& decoder, GpsTimeState& s, GpsTimeModels& models,
                                      GpsNumbering numbering)
{
    // The pointwise numbering puts "unchanged" first in the zero model and
    // at 511 in the multi model; every later symbol moves up by one.
    const std::uint32_t shift = numbering == GpsNumbering::pointwise ? 1 : 0;
    ready(models.multi, 515 + shift);
    ready(models.zeroDiff, 5 + shift);
    if (models.ic.bits == 0) {
        initIntegerDecompressor(models.ic, 32, 9);
    }
    // A switch to another sequence decodes that sequence's time next; a loop
    // rather than recursion, so a damaged stream cannot exhaust the stack.
    for (;;) {
        if (s.diff[s.last] == 0) {
            std::uint32_t symbol = decodeSymbol(decoder, models.zeroDiff);
            if (shift != 0 && symbol == 0) {
                return;
            }
            symbol -= shift;
            if (symbol == 0) {
                s.diff[s.last] = decompress(decoder, models.ic, 0, 0);
                s.time[s.last] = detail::plus(s.time[s.last], s.diff[s.last]);
                s.extreme[s.last] = 0;
                return;
            }
            if (symbol == 1) {
                detail::fullTime(decoder, s, models);
                return;
            }
            s.last = (s.last + symbol - 1) & 3;
            continue;
        }
        std::uint32_t symbol = decodeSymbol(decoder, models.multi);
        if (symbol == 1) {
            s.time[s.last] = detail::plus(s.time[s.last], decompress(decoder, models.ic, s.diff[s.last], 1));
            s.extreme[s.last] = 0;
            return;
        }
        if (symbol < 511) {
            detail::decodeMultiple(decoder, s, models, symbol);
            return;
        }
        if (shift != 0 && symbol == 511) {
            return;
        }
        symbol -= shift;
        if (symbol == 511) {
            detail::fullTime(decoder, s, models);
            return;
        }
        s.last = (s.last + symbol - 511) & 3;
    }
}

// Wave packet descriptors (29 bytes: index, u64 offset, u32 size and four
// floats taken as their bit patterns), predicted from the previous one.
struct WavePacketModels {
    SymbolModel index;
    SymbolModel offsetKind[4];  // indexed by the previous kind
    IntegerDecompressor offsetDiff;
    IntegerDecompressor size;
    IntegerDecompressor returnPoint;
    IntegerDecompressor xyz;
    std::int32_t lastOffsetDiff = 0;
    std::uint32_t kind = 0;
};

constexpr std::size_t kWavePacketSize = 29;

void resetWavePacket(WavePacketModels& models);

void decodeWavePacket(ArithmeticDecoder& decoder, WavePacketModels& models, const std::uint8_t* last,
                      std::uint8_t* packet);

}  // namespace velaseg::laz
