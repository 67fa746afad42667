#include "las_records.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "las_reader.h"
#include "little_endian.h"

namespace velaseg {
namespace {

constexpr std::size_t kVlrHeaderBytes = 54;
constexpr std::size_t kVlrCountAt = 100;

std::uint64_t fileSizeOf(std::ifstream& in)
{
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    in.seekg(0, std::ios::beg);
    return end < 0 ? 0 : static_cast<std::uint64_t>(end);
}

// The VLRs of the bytes before the point data; a chain that runs past them
// ends there (what lies whole before it is kept).
std::vector<LasVlr> vlrsOf(const std::vector<std::uint8_t>& head, std::size_t headerSize, std::uint32_t count)
{
    std::vector<LasVlr> vlrs;
    std::size_t at = headerSize;
    for (std::uint32_t i = 0; i < count && at + kVlrHeaderBytes <= head.size(); ++i) {
        const std::size_t length = kVlrHeaderBytes + u16At(&head[at + 20]);
        if (at + length > head.size()) break;
        LasVlr vlr;
        const char* user = reinterpret_cast<const char*>(&head[at + 2]);
        vlr.userId.assign(user, strnlen(user, 16));
        vlr.recordId = u16At(&head[at + 18]);
        vlr.bytes.assign(head.begin() + static_cast<std::ptrdiff_t>(at),
                         head.begin() + static_cast<std::ptrdiff_t>(at + length));
        vlrs.push_back(std::move(vlr));
        at += length;
    }
    return vlrs;
}

}  // namespace

bool readLasInputLayout(const std::string& fileName, LasInputLayout& layout, std::string& problem)
{
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        problem = "the file cannot be opened for reading";
        return false;
    }
    const std::uint64_t fileSize = fileSizeOf(in);
    std::uint8_t first[kLas14HeaderSize] = {};
    const std::size_t firstBytes = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, sizeof first));
    in.read(reinterpret_cast<char*>(first), static_cast<std::streamsize>(firstBytes));
    const LasHeader header = decodeLasHeader(first, firstBytes);
    if (!header.hasSignature || header.bytesSeen < kLasHeaderSize || header.headerSize < kLasHeaderSize ||
        header.pointDataOffset < header.headerSize || header.pointDataOffset > fileSize) {
        problem = "its header block cannot be read";
        return false;
    }
    std::vector<std::uint8_t> head(header.pointDataOffset);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    if (static_cast<std::size_t>(in.gcount()) != head.size()) {
        problem = "its header block cannot be read";
        return false;
    }
    layout.header.assign(head.begin(), head.begin() + header.headerSize);
    layout.pointFormat = header.pointFormatByte & 0x3F;
    layout.recordLength = header.recordLength;
    std::copy(header.scale, header.scale + 3, layout.scale);
    std::copy(header.offset, header.offset + 3, layout.offset);
    layout.vlrs = vlrsOf(head, header.headerSize, u32At(&head[kVlrCountAt]));
    return true;
}

LasRecordSource lasInputRecords(const std::string& fileName)
{
    return [fileName](const LasRecordBlockSink& sink) {
        LasHeader header;
        return readLasRecords(fileName, LasFields::all, header, sink) == LasReadStatus::read;
    };
}

}  // namespace velaseg
