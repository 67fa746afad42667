// What the pointwise and the layered items share: the streaming median of
// coordinate differences, the return-number context tables, and the RGB and
// GPS-time predictors.
#pragma once

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

void addToMedian(StreamingMedian5& m, std::int32_t x);

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

// Decodes one colour into rgb from the previous colour `last`.
void decodeRgb(ArithmeticDecoder& decoder, RgbModels& models, const std::uint16_t last[3], std::uint16_t rgb[3]);

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

// Decodes the next time; afterwards state.time[state.last] holds it.
void decodeGpsTime(ArithmeticDecoder& decoder, GpsTimeState& state, GpsTimeModels& models, GpsNumbering numbering);

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
