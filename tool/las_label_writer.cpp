#include "las_label_writer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "las_reader.h"
#include "little_endian.h"

namespace velaseg {
namespace {

constexpr std::size_t kHeaderBytes = kLas14HeaderSize;
constexpr std::size_t kVlrHeaderBytes = 54;
constexpr std::size_t kDescriptorBytes = 192;
constexpr std::uint16_t kExtraBytesRecordId = 4;
constexpr int kFormatFromOtherInput = 7;  // x y z, GPS time, RGB
constexpr std::size_t kPlaneIdBytes = 4;

void putText(std::uint8_t* at, const std::string& text, std::size_t field)
{
    std::memset(at, 0, field);
    std::memcpy(at, text.data(), std::min(text.size(), field));
}

// What the header says about the points, gathered while they are written.
struct PointSummary {
    std::uint64_t count = 0;
    std::uint64_t byReturn[15] = {};
    bool bounded = false;
    double low[3] = {0.0, 0.0, 0.0};
    double high[3] = {0.0, 0.0, 0.0};
};

void notePoint(PointSummary& summary, const std::uint8_t* record, int format, const double scale[3],
               const double offset[3], bool withheld)
{
    ++summary.count;
    const int returnNumber = format <= 5 ? (record[14] & 0x07) : (record[14] & 0x0F);
    if (returnNumber >= 1) ++summary.byReturn[returnNumber - 1];
    if (withheld) return;
    for (int axis = 0; axis < 3; ++axis) {
        const double v = i32At(record + 4 * axis) * scale[axis] + offset[axis];
        summary.low[axis] = summary.bounded ? std::min(summary.low[axis], v) : v;
        summary.high[axis] = summary.bounded ? std::max(summary.high[axis], v) : v;
    }
    summary.bounded = true;
}

// Bytes of one extra-bytes value of `type` (0: undocumented, `options` bytes).
std::size_t extraBytesSize(std::uint8_t type, std::uint8_t options)
{
    static const std::size_t sizes[11] = {0, 1, 1, 2, 2, 4, 4, 8, 8, 4, 8};
    if (type == 0) return options;
    if (type <= 10) return sizes[type];
    if (type <= 20) return 2 * sizes[type - 10];  // deprecated pairs
    if (type <= 30) return 3 * sizes[type - 20];  // deprecated triples
    return 0;
}

using Descriptor = std::array<std::uint8_t, kDescriptorBytes>;

Descriptor undocumented(std::size_t bytes)
{
    Descriptor d{};
    d[3] = static_cast<std::uint8_t>(bytes);
    return d;
}

Descriptor planeIdDescriptor()
{
    Descriptor d{};
    d[2] = 6;     // 32-bit signed integer
    d[3] = 0x01;  // no_data is set
    putText(&d[4], "PlaneId", 32);
    put64(&d[40], static_cast<std::uint64_t>(std::int64_t(-1)));
    putText(&d[160], "plane of the point, -1 for none", 32);
    return d;
}

// The input's extra bytes keep their descriptors when those add up to them;
// bytes no descriptor covers are declared undocumented, 255 at most each.
std::vector<Descriptor> extraBytesDescriptors(const std::vector<LasVlr>& vlrs, std::size_t inputExtraBytes)
{
    std::vector<Descriptor> described;
    std::size_t covered = 0;
    for (const LasVlr& vlr : vlrs) {
        if (vlr.userId != "LASF_Spec" || vlr.recordId != kExtraBytesRecordId) continue;
        for (std::size_t at = kVlrHeaderBytes; at + kDescriptorBytes <= vlr.bytes.size(); at += kDescriptorBytes) {
            Descriptor d;
            std::copy_n(vlr.bytes.begin() + static_cast<std::ptrdiff_t>(at), kDescriptorBytes, d.begin());
            covered += extraBytesSize(d[2], d[3]);
            described.push_back(d);
        }
    }
    if (covered > inputExtraBytes || (covered == 0 && !described.empty())) {
        described.clear();
        covered = 0;
    }
    for (std::size_t left = inputExtraBytes - covered; left > 0;) {
        const std::size_t part = std::min<std::size_t>(left, 255);
        described.push_back(undocumented(part));
        left -= part;
    }
    described.push_back(planeIdDescriptor());
    return described;
}

std::vector<std::uint8_t> extraBytesVlr(const std::vector<Descriptor>& descriptors)
{
    std::vector<std::uint8_t> vlr(kVlrHeaderBytes + descriptors.size() * kDescriptorBytes, 0);
    putText(&vlr[2], "LASF_Spec", 16);
    put16(&vlr[18], kExtraBytesRecordId);
    put16(&vlr[20], static_cast<std::uint16_t>(descriptors.size() * kDescriptorBytes));
    putText(&vlr[22], "Extra Bytes", 32);
    for (std::size_t i = 0; i < descriptors.size(); ++i)
        std::copy(descriptors[i].begin(), descriptors[i].end(), vlr.begin() + static_cast<std::ptrdiff_t>(kVlrHeaderBytes + i * kDescriptorBytes));
    return vlr;
}

struct HeaderFields {
    const std::vector<std::uint8_t>* inputHeader = nullptr;  // fields kept from a LAS input
    int format = 0;
    std::size_t recordLength = 0;
    std::uint32_t vlrCount = 0;
    std::uint32_t pointDataOffset = 0;
    double scale[3] = {0.0, 0.0, 0.0};
    double offset[3] = {0.0, 0.0, 0.0};
};

std::vector<std::uint8_t> headerBlock(const HeaderFields& f, const PointSummary& s)
{
    std::vector<std::uint8_t> head(kHeaderBytes, 0);
    std::uint16_t globalEncoding = 0;
    if (f.inputHeader) {
        // Source id, encoding, project id, system id and creation date stay.
        std::copy_n(f.inputHeader->begin(), std::min<std::size_t>(f.inputHeader->size(), kLasHeaderSize), head.begin());
        globalEncoding = u16At(&head[6]);
        globalEncoding &= static_cast<std::uint16_t>(~0x0002u);  // no waveform data inside this file
    }
    if (f.format >= 6) globalEncoding |= 0x0010;  // these formats go with WKT
    std::memcpy(head.data(), "LASF", 4);
    put16(&head[6], globalEncoding);
    head[24] = 1;
    head[25] = 4;
    if (!f.inputHeader) putText(&head[26], "velaseg", 32);
    putText(&head[58], "velaseg", 32);
    put16(&head[94], static_cast<std::uint16_t>(kHeaderBytes));
    put32(&head[96], f.pointDataOffset);
    put32(&head[100], f.vlrCount);
    head[104] = static_cast<std::uint8_t>(f.format);
    put16(&head[105], static_cast<std::uint16_t>(f.recordLength));
    // The legacy fields hold only what they can: formats 0 to 5, 32-bit counts.
    const bool legacy = f.format <= 5 && s.count <= std::numeric_limits<std::uint32_t>::max();
    put32(&head[107], legacy ? static_cast<std::uint32_t>(s.count) : 0);
    for (int r = 0; r < 5; ++r)
        put32(&head[111 + 4 * r], legacy ? static_cast<std::uint32_t>(std::min<std::uint64_t>(s.byReturn[r], UINT32_MAX)) : 0);
    for (int axis = 0; axis < 3; ++axis) {
        putF64(&head[131 + 8 * axis], f.scale[axis]);
        putF64(&head[155 + 8 * axis], f.offset[axis]);
        putF64(&head[179 + 16 * axis], s.high[axis]);
        putF64(&head[187 + 16 * axis], s.low[axis]);
    }
    std::memset(&head[227], 0, 20);  // no waveform data, no EVLRs
    put64(&head[247], s.count);
    for (int r = 0; r < 15; ++r) put64(&head[255 + 8 * r], s.byReturn[r]);
    return head;
}

// Header placeholder, VLRs; the header is completed once the points are in.
bool writeFront(AtomicFile& out, const std::vector<std::vector<std::uint8_t>>& vlrs, HeaderFields& fields,
                std::string& error)
{
    std::uint64_t offset = kHeaderBytes;
    for (const auto& vlr : vlrs) offset += vlr.size();
    if (offset > std::numeric_limits<std::uint32_t>::max() || fields.recordLength > 65535) {
        error = "the input's VLRs or records are too large for a LAS file";
        return false;
    }
    fields.vlrCount = static_cast<std::uint32_t>(vlrs.size());
    fields.pointDataOffset = static_cast<std::uint32_t>(offset);
    out.write(std::vector<std::uint8_t>(kHeaderBytes, 0).data(), kHeaderBytes);
    for (const auto& vlr : vlrs) out.write(vlr.data(), vlr.size());
    return true;
}

bool writeBack(AtomicFile& out, const HeaderFields& fields, const PointSummary& summary)
{
    const std::vector<std::uint8_t> head = headerBlock(fields, summary);
    return out.overwrite(0, head.data(), head.size());
}

void putColour(std::uint8_t* at, const Colour& c)
{
    // r * 257: the high byte and the low byte both read as r.
    for (int i = 0; i < 3; ++i) put16(at + 2 * i, static_cast<std::uint16_t>(c[static_cast<std::size_t>(i)] * 257));
}

}  // namespace

LasQuantisation chooseLasQuantisation(const std::vector<VELA::SVPoint3d>& points)
{
    LasQuantisation q;
    const auto first = std::find_if(points.begin(), points.end(), [](const VELA::SVPoint3d& p) {
        return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
    });
    double largest[3] = {0.0, 0.0, 0.0};
    if (first != points.end()) {
        const double at[3] = {first->x, first->y, first->z};
        for (int axis = 0; axis < 3; ++axis) q.offset[axis] = std::trunc(at[axis] / 1000.0) * 1000.0;
        for (const VELA::SVPoint3d& p : points) {
            const double c[3] = {p.x, p.y, p.z};
            if (!(std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2]))) continue;
            for (int axis = 0; axis < 3; ++axis)
                largest[axis] = std::max(largest[axis], std::fabs(c[axis] - q.offset[axis]));
        }
    }
    for (int axis = 0; axis < 3; ++axis) {
        int exponent = 0;  // largest < 2^exponent
        std::frexp(largest[axis], &exponent);
        q.scale[axis] = std::ldexp(1.0, exponent - 30);
    }
    return q;
}

bool writeLasLabelsFromLas(AtomicFile& out, const LabelledRows& rows, const LasLabelSource& source,
                           std::string& error)
{
    LasInputLayout layout;
    if (!readLasInputLayout(source.fileName, layout, error)) {
        error = "the input " + source.fileName + " cannot be read again: " + error;
        return false;
    }
    const std::size_t inputLength = layout.recordLength;
    const std::size_t standard = lasPointRecordMinLength(layout.pointFormat);
    if (standard == 0 || inputLength < standard) {
        error = "the input's point format cannot be copied";
        return false;
    }
    std::vector<std::vector<std::uint8_t>> vlrs;
    for (const LasVlr& vlr : layout.vlrs) {
        const bool extraBytes = vlr.userId == "LASF_Spec" && vlr.recordId == kExtraBytesRecordId;
        const bool compression = vlr.userId == "laszip encoded";
        if (!extraBytes && !compression) vlrs.push_back(vlr.bytes);
    }
    vlrs.push_back(extraBytesVlr(extraBytesDescriptors(layout.vlrs, inputLength - standard)));

    HeaderFields fields;
    fields.inputHeader = &layout.header;
    fields.format = layout.pointFormat;
    fields.recordLength = inputLength + kPlaneIdBytes;
    std::copy(layout.scale, layout.scale + 3, fields.scale);
    std::copy(layout.offset, layout.offset + 3, fields.offset);
    if (!writeFront(out, vlrs, fields, error)) return false;

    const int colourAt = lasColourOffset(layout.pointFormat);
    PointSummary summary;
    std::size_t row = 0;
    bool fits = true;
    std::vector<std::uint8_t> block;
    const bool read = source.records([&](const std::uint8_t* records, std::size_t count) {
        block.resize(count * fields.recordLength);
        for (std::size_t i = 0; i < count && fits; ++i, ++row) {
            if (row >= rows.planeOf.size()) {
                fits = false;
                break;
            }
            std::uint8_t* record = &block[i * fields.recordLength];
            std::memcpy(record, records + i * inputLength, inputLength);
            const std::int32_t plane = rows.planeOf[row];
            if (plane > 0 && colourAt >= 0) putColour(record + colourAt, rows.planeColours[static_cast<std::size_t>(plane - 1)]);
            put32(record + inputLength, static_cast<std::uint32_t>(plane > 0 ? plane : -1));
            notePoint(summary, record, layout.pointFormat, fields.scale, fields.offset, false);
        }
        if (fits) out.write(block.data(), block.size());
    });
    if (!read || !fits || row != rows.planeOf.size()) {
        error = "the point records of " + source.fileName + " changed since they were read";
        return false;
    }
    return writeBack(out, fields, summary);
}

bool writeLasLabels(AtomicFile& out, const LabelledRows& rows, std::string& error)
{
    const LasQuantisation q = chooseLasQuantisation(*rows.points);
    HeaderFields fields;
    fields.format = kFormatFromOtherInput;
    fields.recordLength = lasPointRecordMinLength(kFormatFromOtherInput) + kPlaneIdBytes;
    std::copy(q.scale, q.scale + 3, fields.scale);
    std::copy(q.offset, q.offset + 3, fields.offset);
    if (!writeFront(out, {extraBytesVlr(extraBytesDescriptors({}, 0))}, fields, error)) return false;

    const int colourAt = lasColourOffset(kFormatFromOtherInput);
    const std::size_t planeIdAt = lasPointRecordMinLength(kFormatFromOtherInput);
    PointSummary summary;
    std::vector<std::uint8_t> block;
    block.reserve(std::size_t(1) << 20);
    std::vector<std::uint8_t> record(fields.recordLength);
    forEachRow(rows, [&](const VELA::SVPoint3d& p, std::int32_t plane, const Colour& colour) {
        std::fill(record.begin(), record.end(), 0);
        const double c[3] = {p.x, p.y, p.z};
        const bool finite = std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2]);
        if (finite)
            for (int axis = 0; axis < 3; ++axis)
                put32(&record[4 * static_cast<std::size_t>(axis)],
                      static_cast<std::uint32_t>(static_cast<std::int32_t>(std::llround((c[axis] - q.offset[axis]) / q.scale[axis]))));
        record[14] = 0x11;                  // first of one return
        record[15] = finite ? 0x00 : 0x04;  // withheld: it has no position
        putColour(&record[static_cast<std::size_t>(colourAt)], colour);
        put32(&record[planeIdAt], static_cast<std::uint32_t>(plane > 0 ? plane : -1));
        notePoint(summary, record.data(), kFormatFromOtherInput, q.scale, q.offset, !finite);
        block.insert(block.end(), record.begin(), record.end());
        if (block.size() >= (std::size_t(1) << 20)) {
            out.write(block.data(), block.size());
            block.clear();
        }
    });
    out.write(block.data(), block.size());
    return writeBack(out, fields, summary);
}

}  // namespace velaseg
