#include "laz/layered_items.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "laz/arithmetic_decoder.h"
#include "laz/integer_decompressor.h"
#include "little_endian.h"
#include "laz/predictors.h"

namespace velaseg::laz {

namespace {

// POINT14's layers, in chunk order.
enum Point14Layer : std::size_t { kXy, kZ, kClass, kFlags, kIntensity, kScanAngle, kUser, kSource, kGpsTime, kPoint14Layers };

const char* const kPoint14LayerNames[kPoint14Layers] = {
    "returns and x, y", "z", "classification", "flags", "intensity", "scan angle", "user data", "point source",
    "GPS time"};

std::uint32_t even(std::uint32_t k)
{
    return k & ~1u;
}

void markUnused(SymbolModel* models, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        models[i].symbols = 0;
    }
}

struct Layer {
    ArithmeticDecoder decoder;
    bool active = false;  // non-empty and wanted
};

// The fields of a 30-byte record that POINT14 predicts from.
struct Point14Fields {
    std::uint32_t x = 0, y = 0, z = 0;
    std::uint16_t intensity = 0;
    std::uint32_t r = 0, n = 0;  // return number, number of returns
    std::uint32_t classFlags = 0, channel = 0, scanDirection = 0, edge = 0;
    std::uint8_t classification = 0;
    std::uint8_t user = 0;
    std::uint16_t scanAngle = 0;
    std::uint16_t source = 0;
    std::uint64_t time = 0;
    bool gpsChanged = false;
};

Point14Fields loadPoint14(const std::uint8_t* at)
{
    Point14Fields p;
    p.x = u32At(at);
    p.y = u32At(at + 4);
    p.z = u32At(at + 8);
    p.intensity = u16At(at + 12);
    p.r = at[14] & 15;
    p.n = at[14] >> 4;
    p.classFlags = at[15] & 15;
    p.channel = (at[15] >> 4) & 3;
    p.scanDirection = (at[15] >> 6) & 1;
    p.edge = at[15] >> 7;
    p.classification = at[16];
    p.user = at[17];
    p.scanAngle = u16At(at + 18);
    p.source = u16At(at + 20);
    p.time = std::uint64_t(u32At(at + 22)) | (std::uint64_t(u32At(at + 26)) << 32);
    return p;
}

void storePoint14(const Point14Fields& p, std::uint8_t* at)
{
    put32(at, p.x);
    put32(at + 4, p.y);
    put32(at + 8, p.z);
    put16(at + 12, p.intensity);
    at[14] = static_cast<std::uint8_t>(p.r | (p.n << 4));
    at[15] = static_cast<std::uint8_t>(p.classFlags | (p.channel << 4) | (p.scanDirection << 6) | (p.edge << 7));
    at[16] = p.classification;
    at[17] = p.user;
    put16(at + 18, p.scanAngle);
    put16(at + 20, p.source);
    put32(at + 22, static_cast<std::uint32_t>(p.time));
    put32(at + 26, static_cast<std::uint32_t>(p.time >> 32));
}

// Everything POINT14 keeps per scanner channel.
struct Point14Context {
    bool used = false;
    Point14Fields last;
    SymbolModel changed[8];
    SymbolModel channel;
    SymbolModel numberOfReturns[16];  // by the previous number
    SymbolModel returnNumber[16];     // by the previous return number
    SymbolModel returnNumberSame;     // a jump while the time stays
    IntegerDecompressor dx, dy, z, intensity, scanAngle, source;
    StreamingMedian5 medianX[12], medianY[12];
    std::int32_t lastZ[8] = {};
    std::uint16_t lastIntensity[8] = {};
    SymbolModel classification[64];
    SymbolModel flags[64];
    SymbolModel user[64];
    GpsTimeState gps;
    GpsTimeModels gpsModels;
};

void createPoint14Context(Point14Context& c, const Point14Fields& from)
{
    c.used = true;
    c.last = from;
    c.last.gpsChanged = false;
    markUnused(c.changed, 8);
    c.channel.symbols = 0;
    markUnused(c.numberOfReturns, 16);
    markUnused(c.returnNumber, 16);
    c.returnNumberSame.symbols = 0;
    initIntegerDecompressor(c.dx, 32, 2);
    initIntegerDecompressor(c.dy, 32, 22);
    initIntegerDecompressor(c.z, 32, 20);
    initIntegerDecompressor(c.intensity, 16, 4);
    initIntegerDecompressor(c.scanAngle, 16, 2);
    initIntegerDecompressor(c.source, 16, 1);
    std::fill(std::begin(c.medianX), std::end(c.medianX), StreamingMedian5());
    std::fill(std::begin(c.medianY), std::end(c.medianY), StreamingMedian5());
    std::fill(std::begin(c.lastZ), std::end(c.lastZ), static_cast<std::int32_t>(from.z));
    std::fill(std::begin(c.lastIntensity), std::end(c.lastIntensity), from.intensity);
    markUnused(c.classification, 64);
    markUnused(c.flags, 64);
    markUnused(c.user, 64);
    resetGpsTime(c.gps, c.gpsModels, from.time);
}

struct Point14State {
    Point14Context contexts[4];
    std::uint32_t current = 0;
    bool version4 = false;
};

std::uint32_t symbol(Layer& layer, SymbolModel& model, std::uint32_t symbols)
{
    return decodeSymbol(layer.decoder, ready(model, symbols));
}

// The change mask, the channel and the returns, from the XY layer. Returns
// the context other items use for this point.
std::uint32_t readReturns(Point14State& s, Layer& xy, std::uint32_t& changes)
{
    Point14Context* c = &s.contexts[s.current];
    const Point14Fields& previous = c->last;
    // Taken from the context current before a channel switch.
    const std::uint32_t lastPointContext =
        (previous.r == 1 ? 1 : 0) + (previous.r >= previous.n ? 2 : 0) + (previous.gpsChanged ? 4 : 0);
    changes = symbol(xy, c->changed[lastPointContext], 128);
    // Version 3 hands the other items 0 except at a switch (the reference
    // driver resets the value before every point and only a switch sets it).
    std::uint32_t itemContext = 0;
    if (changes & 64) {
        const std::uint32_t next = (s.current + symbol(xy, c->channel, 3) + 1) & 3;
        if (!s.contexts[next].used) {
            createPoint14Context(s.contexts[next], c->last);
        }
        s.current = next;
        c = &s.contexts[next];
        c->last.channel = next;
        itemContext = next;
    }
    if (s.version4) {
        itemContext = s.current;
    }
    Point14Fields& last = c->last;
    if (changes & 4) {
        last.n = symbol(xy, c->numberOfReturns[last.n], 16);
    }
    switch (changes & 3) {
    case 1: last.r = (last.r + 1) & 15; break;
    case 2: last.r = (last.r + 15) & 15; break;
    case 3:
        if (changes & 16) {
            last.r = symbol(xy, c->returnNumber[last.r], 16);
        } else {
            last.r = (last.r + symbol(xy, c->returnNumberSame, 13) + 2) & 15;
        }
        break;
    default: break;
    }
    return itemContext;
}

// What the returns of the current point select among the models.
struct ReturnContexts {
    std::uint32_t m = 0;       // 0..5
    std::uint32_t l = 0;       // 0..7
    std::uint32_t cpr = 0;     // 0..3
    std::uint32_t single = 0;  // 1 for single returns
    std::uint32_t g = 0;       // 1 when the GPS time changed
};

void readCoordinates(Point14Context& c, Layer* layers, const ReturnContexts& rc)
{
    Point14Fields& last = c.last;
    ArithmeticDecoder& xy = layers[kXy].decoder;
    const std::uint32_t i = (rc.m << 1) | rc.g;
    const std::int32_t ddx = decompress(xy, c.dx, median(c.medianX[i]), rc.single);
    last.x += static_cast<std::uint32_t>(ddx);
    addToMedian(c.medianX[i], ddx);
    std::uint32_t k = c.dx.k;
    const std::int32_t ddy = decompress(xy, c.dy, median(c.medianY[i]), rc.single + (k < 20 ? even(k) : 20));
    last.y += static_cast<std::uint32_t>(ddy);
    addToMedian(c.medianY[i], ddy);
    if (layers[kZ].active) {
        k = (c.dx.k + c.dy.k) / 2;
        last.z = static_cast<std::uint32_t>(
            decompress(layers[kZ].decoder, c.z, c.lastZ[rc.l], rc.single + (k < 18 ? even(k) : 18)));
        c.lastZ[rc.l] = static_cast<std::int32_t>(last.z);
    }
}

// Classification to GPS time, each from its own layer when that is decoded.
void readAttributes(Point14Context& c, Layer* layers, std::uint32_t changes, const ReturnContexts& rc)
{
    Point14Fields& last = c.last;
    if (layers[kClass].active) {
        const std::uint32_t j = ((last.classification & 0x1Fu) << 1) + (rc.cpr == 3 ? 1 : 0);
        last.classification = static_cast<std::uint8_t>(symbol(layers[kClass], c.classification[j], 256));
    }
    if (layers[kFlags].active) {
        const std::uint32_t j = (last.edge << 5) | (last.scanDirection << 4) | last.classFlags;
        const std::uint32_t f = symbol(layers[kFlags], c.flags[j], 64);
        last.edge = (f >> 5) & 1;
        last.scanDirection = (f >> 4) & 1;
        last.classFlags = f & 15;
    }
    if (layers[kIntensity].active) {
        const std::uint32_t j = (rc.cpr << 1) | rc.g;
        last.intensity = static_cast<std::uint16_t>(
            decompress(layers[kIntensity].decoder, c.intensity, c.lastIntensity[j], rc.cpr));
        c.lastIntensity[j] = last.intensity;
    }
    // Scan angle and point source carry data only for points whose change
    // bit is set.
    if (layers[kScanAngle].active && (changes & 8)) {
        // Predicted from the sign-extended angle; the low 16 bits are the new one.
        last.scanAngle = static_cast<std::uint16_t>(
            decompress(layers[kScanAngle].decoder, c.scanAngle, static_cast<std::int16_t>(last.scanAngle), rc.g));
    }
    if (layers[kUser].active) {
        last.user = static_cast<std::uint8_t>(symbol(layers[kUser], c.user[last.user / 4], 256));
    }
    if (layers[kSource].active && (changes & 32)) {
        last.source = static_cast<std::uint16_t>(decompress(layers[kSource].decoder, c.source, last.source, 0));
    }
    if (layers[kGpsTime].active && rc.g != 0) {
        decodeGpsTime(layers[kGpsTime].decoder, c.gps, c.gpsModels, GpsNumbering::layered);
        last.time = c.gps.time[c.gps.last];
    }
}

std::uint32_t readPoint14(Point14State& s, Layer* layers, std::uint8_t* out)
{
    std::uint32_t changes = 0;
    const std::uint32_t itemContext = readReturns(s, layers[kXy], changes);
    Point14Context& c = s.contexts[s.current];
    const std::uint32_t n = c.last.n;
    const std::uint32_t r = c.last.r;
    ReturnContexts rc;
    rc.m = kReturnMap6[n][r];
    rc.l = kReturnLevel8[n][r];
    rc.cpr = (r == 1 ? 2 : 0) + (r >= n ? 1 : 0);
    rc.single = n == 1 ? 1 : 0;
    rc.g = (changes & 16) != 0 ? 1 : 0;
    readCoordinates(c, layers, rc);
    readAttributes(c, layers, changes, rc);
    storePoint14(c.last, out);
    c.last.gpsChanged = rc.g != 0;
    return itemContext;
}

// RGB14, RGBNIR14, BYTE14 and WAVEPACKET14: models and last values per
// scanner channel, switched by the context POINT14 hands over.
struct SecondaryItem {
    LazItem item;
    std::size_t offset = 0;      // in the record
    std::size_t firstLayer = 0;
    bool version4 = false;
    std::uint32_t current = 0;
    bool used[4] = {false, false, false, false};
    std::vector<std::uint8_t> last[4];  // the item's record bytes
    RgbModels rgb[4];
    SymbolModel nirUsed[4];
    SymbolModel nirBytes[4][2];
    std::vector<SymbolModel> bytes[4];
    WavePacketModels wave[4];
};

void createSecondaryContext(SecondaryItem& s, std::uint32_t c, const std::vector<std::uint8_t>& from)
{
    s.used[c] = true;
    s.last[c] = from;
    switch (s.item.type) {
    case kItemRgbNir14:
        s.nirUsed[c].symbols = 0;
        markUnused(s.nirBytes[c], 2);
        [[fallthrough]];
    case kItemRgb14: resetRgbModels(s.rgb[c]); break;
    case kItemWavePacket14: resetWavePacket(s.wave[c]); break;
    default:
        s.bytes[c].resize(s.item.size);
        markUnused(s.bytes[c].data(), s.item.size);
        break;
    }
}

void readRgbLayer(Layer& layer, RgbModels& models, std::uint8_t* bytes)
{
    const std::uint16_t last[3] = {u16At(bytes), u16At(bytes + 2), u16At(bytes + 4)};
    std::uint16_t rgb[3];
    decodeRgb(layer.decoder, models, last, rgb);
    for (int i = 0; i < 3; ++i) {
        put16(bytes + 2 * i, rgb[i]);
    }
}

void readSecondary(SecondaryItem& s, Layer* layers, std::uint32_t context, std::uint8_t* record)
{
    std::uint32_t slot = s.current;
    if (context != s.current) {
        const std::uint32_t previous = s.current;
        s.current = context;
        if (!s.used[context]) {
            createSecondaryContext(s, context, s.last[previous]);
            slot = context;
        } else {
            // Version 3 keeps predicting from, and writing to, the context
            // it switched away from; version 4 fixed that.
            slot = s.version4 ? context : previous;
        }
    }
    const std::uint32_t c = s.current;
    std::uint8_t* last = s.last[slot].data();
    Layer* own = layers + s.firstLayer;
    switch (s.item.type) {
    case kItemRgbNir14:
        if (own[1].active) {
            const std::uint32_t used = symbol(own[1], s.nirUsed[c], 4);
            if (used & 1) {
                last[6] = static_cast<std::uint8_t>(last[6] + symbol(own[1], s.nirBytes[c][0], 256));
            }
            if (used & 2) {
                last[7] = static_cast<std::uint8_t>(last[7] + symbol(own[1], s.nirBytes[c][1], 256));
            }
        }
        [[fallthrough]];
    case kItemRgb14:
        if (own[0].active) {
            readRgbLayer(own[0], s.rgb[c], last);
        }
        break;
    case kItemWavePacket14:
        if (own[0].active) {
            std::uint8_t packet[kWavePacketSize];
            decodeWavePacket(own[0].decoder, s.wave[c], last, packet);
            std::memcpy(last, packet, kWavePacketSize);
        }
        break;
    default:
        for (std::size_t i = 0; i < s.item.size; ++i) {
            if (own[i].active) {
                last[i] = static_cast<std::uint8_t>(last[i] + symbol(own[i], s.bytes[c][i], 256));
            }
        }
        break;
    }
    std::memcpy(record + s.offset, last, s.item.size);
}

std::size_t layersOf(const LazItem& item)
{
    switch (item.type) {
    case kItemPoint14: return kPoint14Layers;
    case kItemRgbNir14: return 2;
    case kItemByte14: return item.size;
    default: return 1;
    }
}

// Whether velaseg's reading of x, y, z and colour needs layer `index` of `item`.
bool neededForCoordinatesAndColour(const LazItem& item, std::size_t index)
{
    switch (item.type) {
    case kItemPoint14: return index == kXy || index == kZ;
    case kItemRgb14:
    case kItemRgbNir14: return index == 0;
    default: return false;
    }
}

std::string layerName(const LazItem& item, std::size_t index)
{
    switch (item.type) {
    case kItemPoint14: return kPoint14LayerNames[index];
    case kItemRgbNir14: return index == 0 ? "RGB" : "NIR";
    case kItemRgb14: return "RGB";
    case kItemWavePacket14: return "wave packet";
    default: return "extra byte " + std::to_string(index);
    }
}

// One decoder per wanted non-empty layer, each on its own bytes, which
// follow the count and the layer sizes.
std::vector<Layer> startLayers(const std::vector<LazItem>& items, const LayeredChunkLayout& layout,
                               const std::uint8_t* afterFirstPoint, bool coordinatesAndColour)
{
    std::vector<Layer> layers(layout.layerSizes.size());
    const std::uint8_t* at = afterFirstPoint + 4 + 4 * layers.size();
    std::size_t index = 0;
    for (const LazItem& item : items) {
        for (std::size_t j = 0; j < layersOf(item); ++j, ++index) {
            const std::uint32_t size = layout.layerSizes[index];
            layers[index].active = size > 0 && (!coordinatesAndColour || neededForCoordinatesAndColour(item, j));
            if (layers[index].active) {
                initDecoder(layers[index].decoder, at, at + size);
            }
            at += size;
        }
    }
    return layers;
}

struct ItemStates {
    std::unique_ptr<Point14State> point14;
    std::vector<std::unique_ptr<SecondaryItem>> secondary;
};

// Every item starts in the scanner channel of the chunk's first point.
ItemStates startItems(const std::vector<LazItem>& items, const std::uint8_t* first)
{
    ItemStates states;
    states.point14 = std::make_unique<Point14State>();
    const Point14Fields fields = loadPoint14(first);
    states.point14->current = fields.channel;
    states.point14->version4 = items[0].version >= 4;
    createPoint14Context(states.point14->contexts[fields.channel], fields);

    std::size_t offset = items[0].size;
    std::size_t firstLayer = kPoint14Layers;
    for (std::size_t i = 1; i < items.size(); ++i) {
        auto s = std::make_unique<SecondaryItem>();
        s->item = items[i];
        s->offset = offset;
        s->firstLayer = firstLayer;
        s->version4 = items[i].version >= 4;
        s->current = fields.channel;
        createSecondaryContext(*s, fields.channel,
                               std::vector<std::uint8_t>(first + offset, first + offset + items[i].size));
        offset += items[i].size;
        firstLayer += layersOf(items[i]);
        states.secondary.push_back(std::move(s));
    }
    return states;
}

// A decoded layer must end exactly at its size: anything else means its
// bytes or the sizes are damaged.
std::string layerEndProblem(const std::vector<LazItem>& items, const std::vector<Layer>& layers)
{
    std::size_t index = 0;
    for (const LazItem& item : items) {
        for (std::size_t j = 0; j < layersOf(item); ++j, ++index) {
            const ArithmeticDecoder& d = layers[index].decoder;
            if (layers[index].active && !endedExactly(d)) {
                return "the " + layerName(item, j) + " layer of " + lazItemName(item) + " ended " +
                       (d.source.overrun != 0 ? std::to_string(d.source.overrun) + " bytes past its end"
                                              : std::to_string(d.source.end - d.source.at) + " bytes before its end");
            }
        }
    }
    return std::string();
}

}  // namespace

std::size_t layerCount(const std::vector<LazItem>& items)
{
    std::size_t count = 0;
    for (const LazItem& item : items) {
        count += layersOf(item);
    }
    return count;
}

std::string readLayeredChunkLayout(const std::vector<LazItem>& items, const std::uint8_t* begin,
                                   const std::uint8_t* end, LayeredChunkLayout& layout)
{
    std::size_t recordLength = 0;
    for (const LazItem& item : items) {
        recordLength += item.size;
    }
    const std::size_t layers = layerCount(items);
    const std::size_t fixed = recordLength + 4 + 4 * layers;
    const std::size_t available = static_cast<std::size_t>(end - begin);
    if (available < fixed) {
        return "the data ends inside the chunk's header";
    }
    layout.points = u32At(begin + recordLength);
    layout.layerSizes.resize(layers);
    std::uint64_t bytes = fixed;
    for (std::size_t i = 0; i < layers; ++i) {
        layout.layerSizes[i] = u32At(begin + recordLength + 4 + 4 * i);
        bytes += layout.layerSizes[i];
    }
    layout.bytes = bytes;
    if (layout.points == 0) {
        return "the chunk says it holds 0 points";
    }
    if (bytes > available) {
        return "the chunk's layers need " + std::to_string(bytes) + " bytes, " + std::to_string(available) +
               " are left";
    }
    return std::string();
}

ChunkDecode decodeLayeredChunk(const std::vector<LazItem>& items, const LayeredChunkLayout& layout,
                               const std::uint8_t* begin, bool coordinatesAndColour,
                               RecordBuffer& records)
{
    std::size_t recordLength = 0;
    for (const LazItem& item : items) {
        recordLength += item.size;
    }
    prepareRecords(records, layout.points, recordLength, layout.bytes);
    std::memcpy(recordAt(records, 0, layout.points, recordLength), begin, recordLength);
    ChunkDecode result;
    result.points = 1;
    result.stop = begin + layout.bytes;
    if (layout.points > 1 && layout.layerSizes[kXy] == 0) {
        // Every other layer follows this one's change masks.
        result.problem = "the chunk's " + layerName(items[0], kXy) + " layer is empty";
        return result;
    }
    std::vector<Layer> layers = startLayers(items, layout, begin + recordLength, coordinatesAndColour);
    ItemStates states = startItems(items, begin);

    const ByteSource& driver = layers[kXy].decoder.source;
    for (std::uint32_t p = 1; p < layout.points; ++p) {
        std::uint8_t* record = recordAt(records, p, layout.points, recordLength);
        const std::uint32_t context = readPoint14(*states.point14, layers.data(), record);
        for (auto& s : states.secondary) {
            readSecondary(*s, layers.data(), context, record);
        }
        if (driver.overrun > kMissingFlushBytes) {
            result.problem = "the " + layerName(items[0], kXy) + " layer ends before the chunk's last point";
            return result;
        }
        result.points = p + 1;
    }
    result.problem = layerEndProblem(items, layers);
    return result;
}

}  // namespace velaseg::laz
