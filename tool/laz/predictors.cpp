#include "laz/predictors.h"

#include "little_endian.h"

namespace velaseg::laz {

namespace {

std::int32_t signed32(std::uint32_t v)
{
    return static_cast<std::int32_t>(v);
}

}  // namespace

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

void resetGpsTime(GpsTimeState& state, GpsTimeModels& models, std::uint64_t first)
{
    state = GpsTimeState();
    state.time[0] = first;
    // Built on first use: a layered reader that skips the time never needs them.
    models.multi.symbols = 0;
    models.zeroDiff.symbols = 0;
    models.ic.bits = 0;
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
    const std::uint64_t lastOffset = u64At(last + 1);
    const std::uint32_t lastSize = u32At(last + 9);
    std::uint64_t offset = lastOffset;
    if (models.kind == 1) {
        offset = lastOffset + lastSize;
    } else if (models.kind == 2) {
        models.lastOffsetDiff = decompress(decoder, models.offsetDiff, models.lastOffsetDiff, 0);
        offset = lastOffset + static_cast<std::uint64_t>(static_cast<std::int64_t>(models.lastOffsetDiff));
    } else if (models.kind == 3) {
        offset = readInt64(decoder);
    }
    put64(packet + 1, offset);
    put32(packet + 9, static_cast<std::uint32_t>(decompress(decoder, models.size, signed32(lastSize), 0)));
    put32(packet + 13,
            static_cast<std::uint32_t>(decompress(decoder, models.returnPoint, signed32(u32At(last + 13)), 0)));
    for (std::uint32_t axis = 0; axis < 3; ++axis) {
        const std::size_t at = 17 + 4 * axis;
        put32(packet + at,
                static_cast<std::uint32_t>(decompress(decoder, models.xyz, signed32(u32At(last + at)), axis)));
    }
}

}  // namespace velaseg::laz
