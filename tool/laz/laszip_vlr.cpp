#include "laz/laszip_vlr.h"

#include <cstring>
#include <sstream>

#include "little_endian.h"

namespace velaseg::laz {

namespace {

constexpr std::size_t kVlrHeaderSize = 54;
constexpr std::size_t kEvlrHeaderSize = 60;
constexpr std::size_t kUserIdAt = 2;
constexpr std::size_t kRecordIdAt = 18;
constexpr std::size_t kLengthAt = 20;
constexpr std::uint16_t kLaszipRecordId = 22204;
constexpr std::size_t kPayloadFixedSize = 34;
constexpr std::size_t kItemEntrySize = 6;

// The user id is 16 bytes, NUL padded: "laszip encoded" and then only NULs.
bool isLaszipVlr(const std::uint8_t* header)
{
    static const char kUserId[16] = "laszip encoded";
    return std::memcmp(header + kUserIdAt, kUserId, sizeof kUserId) == 0 &&
           u16At(header + kRecordIdAt) == kLaszipRecordId;
}

// Item types in record order for each point format; the extra bytes item
// (BYTE or BYTE14) follows when the record is longer than the standard one.
struct FormatItems {
    std::vector<std::uint16_t> types;
    std::uint16_t extraType;
};

FormatItems itemsOfFormat(int format)
{
    switch (format) {
    case 0: return {{kItemPoint10}, kItemByte};
    case 1: return {{kItemPoint10, kItemGpsTime11}, kItemByte};
    case 2: return {{kItemPoint10, kItemRgb12}, kItemByte};
    case 3: return {{kItemPoint10, kItemGpsTime11, kItemRgb12}, kItemByte};
    case 4: return {{kItemPoint10, kItemGpsTime11, kItemWavePacket13}, kItemByte};
    case 5: return {{kItemPoint10, kItemGpsTime11, kItemRgb12, kItemWavePacket13}, kItemByte};
    case 6: return {{kItemPoint14}, kItemByte14};
    case 7: return {{kItemPoint14, kItemRgb14}, kItemByte14};
    case 8: return {{kItemPoint14, kItemRgbNir14}, kItemByte14};
    case 9: return {{kItemPoint14, kItemWavePacket14}, kItemByte14};
    case 10: return {{kItemPoint14, kItemRgbNir14, kItemWavePacket14}, kItemByte14};
    default: return {{}, kItemByte};
    }
}

// Fixed size of an item, 0 for the extra bytes items (any size from 1).
std::uint16_t fixedSize(std::uint16_t type)
{
    switch (type) {
    case kItemPoint10: return 20;
    case kItemGpsTime11: return 8;
    case kItemRgb12: return 6;
    case kItemWavePacket13: return 29;
    case kItemPoint14: return 30;
    case kItemRgb14: return 6;
    case kItemRgbNir14: return 8;
    case kItemWavePacket14: return 29;
    default: return 0;
    }
}

bool knownType(std::uint16_t type)
{
    return type == kItemByte || (type >= kItemPoint10 && type <= kItemByte14);
}

bool versionDecoded(const LazItem& item)
{
    switch (item.type) {
    case kItemByte:
    case kItemPoint10:
    case kItemGpsTime11:
    case kItemRgb12: return item.version == 1 || item.version == 2;
    case kItemWavePacket13: return item.version == 1;
    case kItemWavePacket14: return item.version == 3 || item.version == 4;
    default: return item.version >= 2 && item.version <= 4;  // 2: prototypes, decoded as 3
    }
}

std::string itemList(const std::vector<LazItem>& items)
{
    std::string list;
    for (const LazItem& item : items) {
        list += (list.empty() ? "" : ", ") + lazItemName(item) + " (" + std::to_string(item.size) + " bytes)";
    }
    return list;
}

std::string itemsProblem(const LaszipVlr& vlr, int format, std::uint16_t recordLength)
{
    std::ostringstream reason;
    for (const LazItem& item : vlr.items) {
        if (!knownType(item.type)) {
            reason << "unknown LAZ item type " << item.type;
            return reason.str();
        }
        if (!versionDecoded(item)) {
            reason << "unsupported LAZ item " << lazItemName(item) << " (point format " << format << ")";
            return reason.str();
        }
    }
    const FormatItems expected = itemsOfFormat(format);
    std::size_t standard = 0;
    bool matches = vlr.items.size() >= expected.types.size();
    for (std::size_t i = 0; matches && i < expected.types.size(); ++i) {
        matches = vlr.items[i].type == expected.types[i] && vlr.items[i].size == fixedSize(expected.types[i]);
        standard += fixedSize(expected.types[i]);
    }
    const std::size_t extra = recordLength > standard ? recordLength - standard : 0;
    if (matches && extra > 0) {
        matches = vlr.items.size() == expected.types.size() + 1 && vlr.items.back().type == expected.extraType &&
                  vlr.items.back().size == extra;
    } else if (matches) {
        matches = vlr.items.size() == expected.types.size() && recordLength == standard;
    }
    if (!matches) {
        reason << "LAZ items " << itemList(vlr.items) << " do not make up point format " << format << " with "
               << recordLength << "-byte records";
    }
    return reason.str();
}

}  // namespace

LaszipVlrPlace findLaszipVlr(const std::uint8_t* file, std::size_t fileSize, std::size_t headerSize,
                             std::uint32_t vlrCount, std::uint64_t evlrAt, std::uint32_t evlrCount)
{
    LaszipVlrPlace place;
    std::size_t at = headerSize;
    for (std::uint32_t i = 0; i < vlrCount && at <= fileSize && fileSize - at >= kVlrHeaderSize; ++i) {
        const std::size_t length = u16At(file + at + kLengthAt);
        const std::size_t payloadAt = at + kVlrHeaderSize;
        if (isLaszipVlr(file + at) && length <= fileSize - payloadAt) {
            return {true, payloadAt, length};
        }
        at = payloadAt + length;
    }
    // Writers put it among the ordinary VLRs; an extended one is accepted too.
    std::uint64_t evlr = evlrAt;
    for (std::uint32_t i = 0; i < evlrCount && evlr != 0 && evlr <= fileSize && fileSize - evlr >= kEvlrHeaderSize;
         ++i) {
        const std::size_t here = static_cast<std::size_t>(evlr);
        const std::uint64_t length = u64At(file + here + kLengthAt);
        const std::size_t payloadAt = here + kEvlrHeaderSize;
        if (length > fileSize - payloadAt) {
            break;
        }
        if (isLaszipVlr(file + here)) {
            return {true, payloadAt, static_cast<std::size_t>(length)};
        }
        evlr = payloadAt + length;
    }
    return place;
}

std::string parseLaszipVlr(const std::uint8_t* payload, std::size_t size, int pointFormat,
                           std::uint16_t recordLength, LaszipVlr& vlr)
{
    std::ostringstream reason;
    if (size < kPayloadFixedSize + kItemEntrySize) {
        reason << "laszip VLR of " << size << " bytes is too short";
        return reason.str();
    }
    vlr.compressor = u16At(payload);
    vlr.coder = u16At(payload + 2);
    vlr.chunkSize = u32At(payload + 12);
    const std::size_t itemCount = u16At(payload + 32);
    if (itemCount == 0 || size != kPayloadFixedSize + kItemEntrySize * itemCount) {
        reason << "laszip VLR of " << size << " bytes does not hold its " << itemCount << " items";
        return reason.str();
    }
    vlr.items.clear();
    for (std::size_t i = 0; i < itemCount; ++i) {
        const std::uint8_t* entry = payload + kPayloadFixedSize + kItemEntrySize * i;
        vlr.items.push_back({u16At(entry), u16At(entry + 2), u16At(entry + 4)});
    }
    if (vlr.compressor < kPointwise || vlr.compressor > kLayeredChunked) {
        reason << "unsupported LAZ compressor " << vlr.compressor;
    } else if (vlr.coder != 0) {
        reason << "unsupported LAZ coder " << vlr.coder;
    } else if (vlr.compressor != kPointwise && vlr.chunkSize == 0) {
        reason << "LAZ chunk size 0";
    } else if ((pointFormat >= 6) != (vlr.compressor == kLayeredChunked)) {
        reason << "unsupported LAZ compressor " << vlr.compressor << " for point format " << pointFormat;
    } else {
        return itemsProblem(vlr, pointFormat, recordLength);
    }
    return reason.str();
}

std::string lazItemName(const LazItem& item)
{
    static const char* const kNames[] = {"BYTE",    "SHORT",     "INT",      "LONG",         "FLOAT",
                                         "DOUBLE",  "POINT10",   "GPSTIME11", "RGB12",       "WAVEPACKET13",
                                         "POINT14", "RGB14",     "RGBNIR14", "WAVEPACKET14", "BYTE14"};
    const std::string name =
        item.type < sizeof kNames / sizeof kNames[0] ? kNames[item.type] : "item type " + std::to_string(item.type);
    return name + " v" + std::to_string(item.version);
}

}  // namespace velaseg::laz
