#include "laz/pointwise_items.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "laz/arithmetic_decoder.h"
#include "laz/integer_decompressor.h"
#include "little_endian.h"
#include "laz/predictors.h"

namespace velaseg::laz {

namespace {

// Bytes 0 to 19 of formats 0 to 5. Coordinates are unsigned so that adding
// a corrector wraps as the encoder's C arithmetic does.
struct Point10 {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t z = 0;
    std::uint16_t intensity = 0;
    std::uint8_t bitByte = 0;  // return number, number of returns, scan direction, edge
    std::uint8_t classByte = 0;
    std::uint8_t scanRank = 0;
    std::uint8_t user = 0;
    std::uint16_t psid = 0;
};

Point10 loadPoint10(const std::uint8_t* at)
{
    Point10 p;
    p.x = u32At(at);
    p.y = u32At(at + 4);
    p.z = u32At(at + 8);
    p.intensity = u16At(at + 12);
    p.bitByte = at[14];
    p.classByte = at[15];
    p.scanRank = at[16];
    p.user = at[17];
    p.psid = u16At(at + 18);
    return p;
}

VELASEG_LAZ_INLINE void storePoint10(const Point10& p, std::uint8_t* at)
{
    put32(at, p.x);
    put32(at + 4, p.y);
    put32(at + 8, p.z);
    put16(at + 12, p.intensity);
    at[14] = p.bitByte;
    at[15] = p.classByte;
    at[16] = p.scanRank;
    at[17] = p.user;
    put16(at + 18, p.psid);
}

VELASEG_LAZ_INLINE std::int32_t s32(std::uint32_t v)
{
    return static_cast<std::int32_t>(v);
}

VELASEG_LAZ_INLINE std::uint32_t even(std::uint32_t k)
{
    return k & ~1u;
}

VELASEG_LAZ_INLINE std::int32_t median3(const std::int32_t v[3])
{
    return std::max(std::min(v[0], v[1]), std::min(std::max(v[0], v[1]), v[2]));
}

VELASEG_LAZ_INLINE std::uint8_t symbol256(ArithmeticDecoder& decoder, SymbolModel& model)
{
    return static_cast<std::uint8_t>(decodeSymbol(decoder, ready(model, 256)));
}

void markUnused(SymbolModel* models, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        models[i].symbols = 0;
    }
}

struct Point10V1 {
    Point10 last;
    SymbolModel changed;
    SymbolModel bitByte[256];
    SymbolModel classByte[256];
    SymbolModel user[256];
    IntegerDecompressor dx, dy, z, intensity, scanAngle, psid;
    std::int32_t dxHistory[3] = {0, 0, 0};
    std::int32_t dyHistory[3] = {0, 0, 0};
    int slot = 0;
};

void startPoint10V1(Point10V1& s, const std::uint8_t* first)
{
    s.last = loadPoint10(first);
    initSymbolModel(s.changed, 64);
    markUnused(s.bitByte, 256);
    markUnused(s.classByte, 256);
    markUnused(s.user, 256);
    initIntegerDecompressor(s.dx, 32, 1);
    initIntegerDecompressor(s.dy, 32, 20);
    initIntegerDecompressor(s.z, 32, 20);
    initIntegerDecompressor(s.intensity, 16, 1);
    initIntegerDecompressor(s.scanAngle, 8, 2);
    initIntegerDecompressor(s.psid, 16, 1);
    std::fill(s.dxHistory, s.dxHistory + 3, 0);
    std::fill(s.dyHistory, s.dyHistory + 3, 0);
    s.slot = 0;
}

VELASEG_LAZ_INLINE void readPoint10V1(ArithmeticDecoder& d, Point10V1& s, std::uint8_t* out)
{
    Point10& last = s.last;
    const std::int32_t ddx = decompress(d, s.dx, median3(s.dxHistory), 0);
    last.x += static_cast<std::uint32_t>(ddx);
    const std::uint32_t kx = s.dx.k;
    const std::int32_t ddy = decompress(d, s.dy, median3(s.dyHistory), std::min(kx, 19u));
    last.y += static_cast<std::uint32_t>(ddy);
    // Unclamped: the scan angle context below compares it with 3.
    const std::uint32_t kz = (kx + s.dy.k) / 2;
    last.z = static_cast<std::uint32_t>(decompress(d, s.z, s32(last.z), std::min(kz, 19u)));
    const std::uint32_t changed = decodeSymbol(d, s.changed);
    if (changed & 32) {
        last.intensity = static_cast<std::uint16_t>(decompress(d, s.intensity, last.intensity, 0));
    }
    if (changed & 16) {
        last.bitByte = symbol256(d, s.bitByte[last.bitByte]);
    }
    if (changed & 8) {
        last.classByte = symbol256(d, s.classByte[last.classByte]);
    }
    if (changed & 4) {
        last.scanRank = static_cast<std::uint8_t>(decompress(d, s.scanAngle, last.scanRank, kz < 3 ? 1 : 0));
    }
    if (changed & 2) {
        last.user = symbol256(d, s.user[last.user]);
    }
    if (changed & 1) {
        last.psid = static_cast<std::uint16_t>(decompress(d, s.psid, last.psid, 0));
    }
    s.dxHistory[s.slot] = ddx;
    s.dyHistory[s.slot] = ddy;
    s.slot = (s.slot + 1) % 3;
    storePoint10(last, out);
}

struct Point10V2 {
    Point10 last;
    SymbolModel changed;
    SymbolModel bitByte[256];
    SymbolModel classByte[256];
    SymbolModel user[256];
    SymbolModel scanRank[2];  // by scan direction
    IntegerDecompressor intensity, psid, dx, dy, z;
    std::uint16_t lastIntensity[16] = {};
    std::int32_t lastHeight[8] = {};
    StreamingMedian5 medianX[16];
    StreamingMedian5 medianY[16];
};

void startPoint10V2(Point10V2& s, const std::uint8_t* first)
{
    s.last = loadPoint10(first);
    // The encoder predicts the second point's intensity from 0, not from
    // the first point.
    s.last.intensity = 0;
    initSymbolModel(s.changed, 64);
    markUnused(s.bitByte, 256);
    markUnused(s.classByte, 256);
    markUnused(s.user, 256);
    markUnused(s.scanRank, 2);
    initIntegerDecompressor(s.intensity, 16, 4);
    initIntegerDecompressor(s.psid, 16, 1);
    initIntegerDecompressor(s.dx, 32, 2);
    initIntegerDecompressor(s.dy, 32, 22);
    initIntegerDecompressor(s.z, 32, 20);
    std::fill(std::begin(s.lastIntensity), std::end(s.lastIntensity), 0);
    std::fill(std::begin(s.lastHeight), std::end(s.lastHeight), 0);
    std::fill(std::begin(s.medianX), std::end(s.medianX), StreamingMedian5());
    std::fill(std::begin(s.medianY), std::end(s.medianY), StreamingMedian5());
}

VELASEG_LAZ_INLINE void readPoint10V2(ArithmeticDecoder& d, Point10V2& s, std::uint8_t* out)
{
    Point10& last = s.last;
    const std::uint32_t changed = decodeSymbol(d, s.changed);
    std::uint32_t r;
    std::uint32_t n;
    std::uint32_t m;
    std::uint32_t l;
    if (changed != 0) {
        if (changed & 32) {
            last.bitByte = symbol256(d, s.bitByte[last.bitByte]);
        }
        r = last.bitByte & 7;
        n = (last.bitByte >> 3) & 7;
        m = kReturnMap[n][r];
        l = kReturnLevel[n][r];
        if (changed & 16) {
            last.intensity = static_cast<std::uint16_t>(decompress(d, s.intensity, s.lastIntensity[m], std::min(m, 3u)));
            s.lastIntensity[m] = last.intensity;
        } else {
            last.intensity = s.lastIntensity[m];
        }
        if (changed & 8) {
            last.classByte = symbol256(d, s.classByte[last.classByte]);
        }
        if (changed & 4) {
            const std::uint8_t delta = symbol256(d, s.scanRank[(last.bitByte >> 6) & 1]);
            last.scanRank = static_cast<std::uint8_t>(last.scanRank + delta);
        }
        if (changed & 2) {
            last.user = symbol256(d, s.user[last.user]);
        }
        if (changed & 1) {
            last.psid = static_cast<std::uint16_t>(decompress(d, s.psid, last.psid, 0));
        }
    } else {
        // Nothing changed: the intensity stays the previous point's.
        r = last.bitByte & 7;
        n = (last.bitByte >> 3) & 7;
        m = kReturnMap[n][r];
        l = kReturnLevel[n][r];
    }
    const std::uint32_t single = n == 1 ? 1 : 0;
    const std::int32_t ddx = decompress(d, s.dx, median(s.medianX[m]), single);
    last.x += static_cast<std::uint32_t>(ddx);
    addToMedian(s.medianX[m], ddx);
    std::uint32_t k = s.dx.k;
    const std::int32_t ddy = decompress(d, s.dy, median(s.medianY[m]), single + (k < 20 ? even(k) : 20));
    last.y += static_cast<std::uint32_t>(ddy);
    addToMedian(s.medianY[m], ddy);
    k = (s.dx.k + s.dy.k) / 2;
    last.z = static_cast<std::uint32_t>(decompress(d, s.z, s.lastHeight[l], single + (k < 18 ? even(k) : 18)));
    s.lastHeight[l] = s32(last.z);
    storePoint10(last, out);
}

struct GpsTimeV1 {
    std::uint64_t time = 0;
    std::int32_t lastDiff = 0;
    std::int32_t extreme = 0;
    SymbolModel multi;
    SymbolModel zeroDiff;
    IntegerDecompressor ic;
};

void startGpsTimeV1(GpsTimeV1& s, const std::uint8_t* first)
{
    s.time = u64At(first);
    s.lastDiff = 0;
    s.extreme = 0;
    initSymbolModel(s.multi, 512);
    initSymbolModel(s.zeroDiff, 3);
    initIntegerDecompressor(s.ic, 32, 6);
}

VELASEG_LAZ_INLINE std::int32_t times(std::int32_t a, std::int32_t b)
{
    return s32(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

VELASEG_LAZ_INLINE void readGpsTimeV1(ArithmeticDecoder& d, GpsTimeV1& s, std::uint8_t* out)
{
    const auto advance = [&s](std::int32_t diff) {
        s.time += static_cast<std::uint64_t>(static_cast<std::int64_t>(diff));
    };
    if (s.lastDiff == 0) {
        const std::uint32_t symbol = decodeSymbol(d, s.zeroDiff);
        if (symbol == 1) {
            s.lastDiff = decompress(d, s.ic, 0, 0);
            advance(s.lastDiff);
        } else if (symbol == 2) {
            s.time = readInt64(d);
        }
    } else {
        const std::uint32_t symbol = decodeSymbol(d, s.multi);
        if (symbol < 510) {
            std::int32_t diff;
            if (symbol == 1) {
                diff = decompress(d, s.ic, s.lastDiff, 1);
                s.lastDiff = diff;
                s.extreme = 0;
            } else if (symbol == 0) {
                diff = decompress(d, s.ic, s.lastDiff / 4, 2);
                if (++s.extreme > 3) {
                    s.lastDiff = diff;
                    s.extreme = 0;
                }
            } else {
                const std::int32_t factor = static_cast<std::int32_t>(symbol);
                diff = decompress(d, s.ic, times(factor, s.lastDiff), symbol < 10 ? 3 : symbol < 50 ? 4 : 5);
                if (symbol == 509 && ++s.extreme > 3) {
                    s.lastDiff = diff;
                    s.extreme = 0;
                }
            }
            advance(diff);
        } else if (symbol == 510) {
            s.time = readInt64(d);
        }
    }
    put64(out, s.time);
}

struct GpsTimeV2 {
    GpsTimeState state;
    GpsTimeModels models;
};

struct RgbV1 {
    std::uint8_t last[6] = {};
    SymbolModel used;
    IntegerDecompressor ic;
};

VELASEG_LAZ_INLINE void readRgbV1(ArithmeticDecoder& d, RgbV1& s, std::uint8_t* out)
{
    const std::uint32_t used = decodeSymbol(d, s.used);
    for (std::uint32_t i = 0; i < 6; ++i) {
        if (used & (1u << i)) {
            s.last[i] = static_cast<std::uint8_t>(decompress(d, s.ic, s.last[i], i));
        }
        out[i] = s.last[i];
    }
}

struct RgbV2 {
    std::uint16_t last[3] = {};
    RgbModels models;
};

VELASEG_LAZ_INLINE void readRgbV2(ArithmeticDecoder& d, RgbV2& s, std::uint8_t* out)
{
    std::uint16_t rgb[3];
    decodeRgb(d, s.models, s.last, rgb);
    for (int i = 0; i < 3; ++i) {
        s.last[i] = rgb[i];
        put16(out + 2 * i, rgb[i]);
    }
}

struct ExtraBytes {
    std::vector<std::uint8_t> last;
    std::vector<SymbolModel> models;  // version 2: one per byte
    IntegerDecompressor ic;           // version 1: one context per byte
};

VELASEG_LAZ_INLINE void readExtraBytesV1(ArithmeticDecoder& d, ExtraBytes& s, std::uint8_t* out)
{
    for (std::uint32_t i = 0; i < s.last.size(); ++i) {
        s.last[i] = static_cast<std::uint8_t>(decompress(d, s.ic, s.last[i], i));
        out[i] = s.last[i];
    }
}

VELASEG_LAZ_INLINE void readExtraBytesV2(ArithmeticDecoder& d, ExtraBytes& s, std::uint8_t* out)
{
    for (std::size_t i = 0; i < s.last.size(); ++i) {
        s.last[i] = static_cast<std::uint8_t>(s.last[i] + decodeSymbol(d, s.models[i]));
        out[i] = s.last[i];
    }
}

struct WavePacket13 {
    std::uint8_t last[kWavePacketSize] = {};
    WavePacketModels models;
};

void readWavePacket13(ArithmeticDecoder& d, WavePacket13& s, std::uint8_t* out)
{
    // Rare and not inline: a copy goes to the call, so the caller's decoder
    // can stay in registers.
    ArithmeticDecoder copy = d;
    decodeWavePacket(copy, s.models, s.last, out);
    d = copy;
    std::memcpy(s.last, out, kWavePacketSize);
}

enum class Reader { point10V1, point10V2, gpsV1, gpsV2, rgbV1, rgbV2, bytesV1, bytesV2, wavePacket };

// Every item state a pointwise record can use; a record holds each item
// type at most once.
struct PointwiseState {
    Point10V1 point10V1;
    Point10V2 point10V2;
    GpsTimeV1 gpsV1;
    GpsTimeV2 gpsV2;
    RgbV1 rgbV1;
    RgbV2 rgbV2;
    ExtraBytes bytes;
    WavePacket13 wavePacket;
    std::vector<Reader> readers;
    std::vector<std::size_t> offsets;  // of each item in the record
};

Reader startItem(PointwiseState& s, const LazItem& item, const std::uint8_t* first)
{
    const bool v1 = item.version == 1;
    switch (item.type) {
    case kItemPoint10:
        if (v1) {
            startPoint10V1(s.point10V1, first);
            return Reader::point10V1;
        }
        startPoint10V2(s.point10V2, first);
        return Reader::point10V2;
    case kItemGpsTime11:
        if (v1) {
            startGpsTimeV1(s.gpsV1, first);
            return Reader::gpsV1;
        }
        resetGpsTime(s.gpsV2.state, s.gpsV2.models, u64At(first));
        return Reader::gpsV2;
    case kItemRgb12:
        if (v1) {
            std::memcpy(s.rgbV1.last, first, 6);
            initSymbolModel(s.rgbV1.used, 64);
            initIntegerDecompressor(s.rgbV1.ic, 8, 6);
            return Reader::rgbV1;
        }
        for (int i = 0; i < 3; ++i) {
            s.rgbV2.last[i] = u16At(first + 2 * i);
        }
        resetRgbModels(s.rgbV2.models);
        return Reader::rgbV2;
    case kItemWavePacket13:
        std::memcpy(s.wavePacket.last, first, kWavePacketSize);
        resetWavePacket(s.wavePacket.models);
        return Reader::wavePacket;
    default:  // BYTE: the VLR check lets no other type through
        s.bytes.last.assign(first, first + item.size);
        if (v1) {
            initIntegerDecompressor(s.bytes.ic, 8, item.size);
            return Reader::bytesV1;
        }
        s.bytes.models.resize(item.size);
        for (SymbolModel& m : s.bytes.models) {
            initSymbolModel(m, 256);
        }
        return Reader::bytesV2;
    }
}

VELASEG_LAZ_INLINE void readPoint(ArithmeticDecoder& d, PointwiseState& s, std::uint8_t* record)
{
    for (std::size_t i = 0; i < s.readers.size(); ++i) {
        std::uint8_t* out = record + s.offsets[i];
        switch (s.readers[i]) {
        case Reader::point10V1: readPoint10V1(d, s.point10V1, out); break;
        case Reader::point10V2: readPoint10V2(d, s.point10V2, out); break;
        case Reader::gpsV1: readGpsTimeV1(d, s.gpsV1, out); break;
        case Reader::gpsV2:
            decodeGpsTime(d, s.gpsV2.state, s.gpsV2.models, GpsNumbering::pointwise);
            put64(out, s.gpsV2.state.time[s.gpsV2.state.last]);
            break;
        case Reader::rgbV1: readRgbV1(d, s.rgbV1, out); break;
        case Reader::rgbV2: readRgbV2(d, s.rgbV2, out); break;
        case Reader::bytesV1: readExtraBytesV1(d, s.bytes, out); break;
        case Reader::bytesV2: readExtraBytesV2(d, s.bytes, out); break;
        case Reader::wavePacket: readWavePacket13(d, s.wavePacket, out); break;
        }
    }
}

}  // namespace

ChunkDecode decodePointwiseChunk(const std::vector<LazItem>& items, const std::uint8_t* begin,
                                 const std::uint8_t* end, ChunkEnd endKind, std::uint64_t points,
                                 RecordBuffer& records)
{
    ChunkDecode result;
    result.stop = begin;
    std::size_t recordLength = 0;
    for (const LazItem& item : items) {
        recordLength += item.size;
    }
    if (points == 0) {
        return result;
    }
    if (static_cast<std::size_t>(end - begin) < recordLength) {
        result.problem = "the data ends inside the chunk's first point";
        result.stop = end;
        return result;
    }
    prepareRecords(records, points, recordLength, static_cast<std::size_t>(end - begin));
    std::memcpy(recordAt(records, 0, points, recordLength), begin, recordLength);
    auto state = std::make_unique<PointwiseState>();
    std::size_t offset = 0;
    for (const LazItem& item : items) {
        state->readers.push_back(startItem(*state, item, begin + offset));
        state->offsets.push_back(offset);
        offset += item.size;
    }
    result.points = 1;
    const std::uint8_t* coded = begin + recordLength;
    // A chunk of one point may end right after it: nothing was coded.
    if (points == 1 && coded == end) {
        result.stop = coded;
        return result;
    }
    ArithmeticDecoder decoder;
    initDecoder(decoder, coded, end);
    for (std::uint64_t p = 1; p < points; ++p) {
        readPoint(decoder, *state, recordAt(records, p, points, recordLength));
        if (decoder.source.overrun > kMissingFlushBytes) {
            result.problem = endKind == ChunkEnd::exact ? "decoding ran past the chunk's end"
                                                        : "the data ends before the chunk's last point";
            result.stop = end;
            return result;
        }
        result.points = p + 1;
    }
    result.stop = decoder.source.at;
    if (endKind == ChunkEnd::exact && !endedExactly(decoder)) {
        result.problem = "decoding ended " +
                         (decoder.source.overrun != 0
                              ? std::to_string(decoder.source.overrun) + " bytes past the chunk's end"
                              : std::to_string(end - decoder.source.at) + " bytes before the chunk's end");
    }
    return result;
}

}  // namespace velaseg::laz
