#include "laz/predictors.h"

#include "laz/little_endian.h"

namespace velaseg::laz {

namespace {

std::int32_t signed32(std::uint32_t v)
{
    return static_cast<std::int32_t>(v);
}

std::uint32_t clamp8(std::int32_t v)
{
    return v <= 0 ? 0u : v >= 255 ? 255u : static_cast<std::uint32_t>(v);
}

// Wrapping i32 product: the encoder multiplies in C ints and relies on the wrap.
std::int32_t times(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

std::uint64_t plus(std::uint64_t time, std::int32_t diff)
{
    return time + static_cast<std::uint64_t>(static_cast<std::int64_t>(diff));
}

void fullTime(ArithmeticDecoder& decoder, GpsTimeState& s, GpsTimeModels& models)
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
void countExtreme(GpsTimeState& s, std::int32_t d)
{
    if (++s.extreme[s.last] > 3) {
        s.diff[s.last] = d;
        s.extreme[s.last] = 0;
    }
}

// Symbols 0 and 2..510 of the multi model: the time moves by a multiple of
// the current difference plus a corrector.
void decodeMultiple(ArithmeticDecoder& decoder, GpsTimeState& s, GpsTimeModels& models, std::uint32_t symbol)
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

}  // namespace

void addToMedian(StreamingMedian5& m, std::int32_t x)
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

const std::uint8_t kReturnMap[8][8] = {
    {15, 14, 13, 12, 11, 10, 9, 8}, {14, 0, 1, 3, 6, 10, 10, 9},   {13, 1, 2, 4, 7, 11, 11, 10},
    {12, 3, 4, 5, 8, 12, 12, 11},   {11, 6, 7, 8, 9, 13, 13, 12},  {10, 10, 11, 12, 13, 14, 14, 13},
    {9, 10, 11, 12, 13, 14, 15, 14}, {8, 9, 10, 11, 12, 13, 14, 15},
};

const std::uint8_t kReturnLevel[8][8] = {
    {0, 1, 2, 3, 4, 5, 6, 7}, {1, 0, 1, 2, 3, 4, 5, 6}, {2, 1, 0, 1, 2, 3, 4, 5}, {3, 2, 1, 0, 1, 2, 3, 4},
    {4, 3, 2, 1, 0, 1, 2, 3}, {5, 4, 3, 2, 1, 0, 1, 2}, {6, 5, 4, 3, 2, 1, 0, 1}, {7, 6, 5, 4, 3, 2, 1, 0},
};

const std::uint8_t kReturnMap6[16][16] = {
    {0, 1, 2, 3, 4, 5, 3, 4, 4, 5, 5, 5, 5, 5, 5, 5}, {1, 0, 1, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3},
    {2, 1, 2, 4, 4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3}, {3, 3, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {4, 3, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4}, {5, 3, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {3, 3, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4}, {4, 3, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4},
    {4, 3, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4}, {5, 3, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4},
    {5, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 4, 4, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4, 4}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5},
};

const std::uint8_t kReturnLevel8[16][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 7, 7, 7, 7, 7, 7, 7, 7}, {1, 0, 1, 2, 3, 4, 5, 6, 7, 7, 7, 7, 7, 7, 7, 7},
    {2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 7, 7, 7, 7, 7, 7}, {3, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 7, 7, 7, 7, 7},
    {4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 7, 7, 7, 7}, {5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 7, 7, 7},
    {6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 7, 7}, {7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 7},
    {7, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7}, {7, 7, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6},
    {7, 7, 7, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5}, {7, 7, 7, 7, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4},
    {7, 7, 7, 7, 7, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3}, {7, 7, 7, 7, 7, 7, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2},
    {7, 7, 7, 7, 7, 7, 7, 7, 6, 5, 4, 3, 2, 1, 0, 1}, {7, 7, 7, 7, 7, 7, 7, 7, 7, 6, 5, 4, 3, 2, 1, 0},
};

void resetRgbModels(RgbModels& models)
{
    models.used.symbols = 0;
    for (SymbolModel& m : models.bytes) {
        m.symbols = 0;
    }
}

void decodeRgb(ArithmeticDecoder& decoder, RgbModels& models, const std::uint16_t last[3], std::uint16_t rgb[3])
{
    const std::uint32_t s = decodeSymbol(decoder, ready(models.used, 128));
    auto delta = [&](int i) { return decodeSymbol(decoder, ready(models.bytes[i], 256)); };
    const std::int32_t lastLo[3] = {last[0] & 0xFF, last[1] & 0xFF, last[2] & 0xFF};
    const std::int32_t lastHi[3] = {last[0] >> 8, last[1] >> 8, last[2] >> 8};

    const std::int32_t redLo = (s & 1) ? (delta(0) + lastLo[0]) & 0xFF : lastLo[0];
    const std::int32_t redHi = (s & 2) ? (delta(1) + lastHi[0]) & 0xFF : lastHi[0];
    rgb[0] = static_cast<std::uint16_t>(redLo | (redHi << 8));
    if ((s & 64) == 0) {
        // Grey: green and blue equal red.
        rgb[1] = rgb[0];
        rgb[2] = rgb[0];
        return;
    }
    // Low bytes, then high bytes: green follows red's change, blue the mean
    // of red's and green's (a C division, truncating toward zero).
    std::int32_t diff = redLo - lastLo[0];
    const std::int32_t greenLo = (s & 4) ? (delta(2) + clamp8(diff + lastLo[1])) & 0xFF : lastLo[1];
    std::int32_t blueLo = lastLo[2];
    if (s & 16) {
        const std::int32_t c = delta(4);
        diff = (diff + (greenLo - lastLo[1])) / 2;
        blueLo = (c + clamp8(diff + lastLo[2])) & 0xFF;
    }
    diff = redHi - lastHi[0];
    const std::int32_t greenHi = (s & 8) ? (delta(3) + clamp8(diff + lastHi[1])) & 0xFF : lastHi[1];
    std::int32_t blueHi = lastHi[2];
    if (s & 32) {
        const std::int32_t c = delta(5);
        diff = (diff + (greenHi - lastHi[1])) / 2;
        blueHi = (c + clamp8(diff + lastHi[2])) & 0xFF;
    }
    rgb[1] = static_cast<std::uint16_t>(greenLo | (greenHi << 8));
    rgb[2] = static_cast<std::uint16_t>(blueLo | (blueHi << 8));
}

void resetGpsTime(GpsTimeState& state, GpsTimeModels& models, std::uint64_t first)
{
    state = GpsTimeState();
    state.time[0] = first;
    // Built on first use: a layered reader that skips the time never needs them.
    models.multi.symbols = 0;
    models.zeroDiff.symbols = 0;
    models.ic.bits = 0;
}

void decodeGpsTime(ArithmeticDecoder& decoder, GpsTimeState& s, GpsTimeModels& models, GpsNumbering numbering)
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
                s.time[s.last] = plus(s.time[s.last], s.diff[s.last]);
                s.extreme[s.last] = 0;
                return;
            }
            if (symbol == 1) {
                fullTime(decoder, s, models);
                return;
            }
            s.last = (s.last + symbol - 1) & 3;
            continue;
        }
        std::uint32_t symbol = decodeSymbol(decoder, models.multi);
        if (symbol == 1) {
            s.time[s.last] = plus(s.time[s.last], decompress(decoder, models.ic, s.diff[s.last], 1));
            s.extreme[s.last] = 0;
            return;
        }
        if (symbol < 511) {
            decodeMultiple(decoder, s, models, symbol);
            return;
        }
        if (shift != 0 && symbol == 511) {
            return;
        }
        symbol -= shift;
        if (symbol == 511) {
            fullTime(decoder, s, models);
            return;
        }
        s.last = (s.last + symbol - 511) & 3;
    }
}

void resetWavePacket(WavePacketModels& models)
{
    initSymbolModel(models.index, 256);
    for (SymbolModel& m : models.offsetKind) {
        initSymbolModel(m, 4);
    }
    initIntegerDecompressor(models.offsetDiff, 32, 1);
    initIntegerDecompressor(models.size, 32, 1);
    initIntegerDecompressor(models.returnPoint, 32, 1);
    initIntegerDecompressor(models.xyz, 32, 3);
    models.lastOffsetDiff = 0;
    models.kind = 0;
}

void decodeWavePacket(ArithmeticDecoder& decoder, WavePacketModels& models, const std::uint8_t* last,
                      std::uint8_t* packet)
{
    // Fields: index at 0, offset at 1, size at 9, return point at 13, x(t),
    // y(t), z(t) at 17, 21, 25.
    packet[0] = static_cast<std::uint8_t>(decodeSymbol(decoder, models.index));
    models.kind = decodeSymbol(decoder, models.offsetKind[models.kind]);
    const std::uint64_t lastOffset = load64(last + 1);
    const std::uint32_t lastSize = load32(last + 9);
    std::uint64_t offset = lastOffset;
    if (models.kind == 1) {
        offset = lastOffset + lastSize;
    } else if (models.kind == 2) {
        models.lastOffsetDiff = decompress(decoder, models.offsetDiff, models.lastOffsetDiff, 0);
        offset = lastOffset + static_cast<std::uint64_t>(static_cast<std::int64_t>(models.lastOffsetDiff));
    } else if (models.kind == 3) {
        offset = readInt64(decoder);
    }
    store64(packet + 1, offset);
    store32(packet + 9, static_cast<std::uint32_t>(decompress(decoder, models.size, signed32(lastSize), 0)));
    store32(packet + 13,
            static_cast<std::uint32_t>(decompress(decoder, models.returnPoint, signed32(load32(last + 13)), 0)));
    for (std::uint32_t axis = 0; axis < 3; ++axis) {
        const std::size_t at = 17 + 4 * axis;
        store32(packet + at,
                static_cast<std::uint32_t>(decompress(decoder, models.xyz, signed32(load32(last + at)), axis)));
    }
}

}  // namespace velaseg::laz
