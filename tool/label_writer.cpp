#include "label_writer.h"

#include <charconv>
#include <cstring>

#include "atomic_file.h"
#include "decimal_text.h"
#include "las_label_writer.h"
#include "ordered_blocks.h"

namespace velaseg {
namespace {

bool endsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

template <typename T>
char* put(char* out, T value)
{
    std::memcpy(out, &value, sizeof value);
    return out + sizeof value;
}

// Rows per block formatted by one task: at most a few hundred KB.
constexpr std::size_t kBlockRows = 4096;

// The rows after what `out` holds, each made by writeRow(out, point, plane,
// colour), which returns the end of the row and writes at most `rowRoom` bytes.
template <typename WriteRow>
void writeRows(AtomicFile& out, const LabelledRows& rows, std::size_t rowRoom, WriteRow writeRow)
{
    BlockFormat format;
    format.records = rowCount(rows);
    format.blockRecords = kBlockRows;
    format.recordRoom = rowRoom;
    format.format = [&](std::size_t first, std::size_t end, char* text) {
        forEachRowIn(rows, first, end, [&](const VELA::SVPoint3d& p, std::int32_t plane, const Colour& colour) {
            text = writeRow(text, p, plane, colour);
        });
        return text;
    };
    writeBlocksInOrder(out, format);
}

// Binary PCD as PCL's labelled clouds read it: x y z in double, the colour
// packed as PCL packs it (alpha 255), the label 0 for no plane.
void writePcd(AtomicFile& out, const LabelledRows& rows)
{
    const std::string n = std::to_string(rowCount(rows));
    out.write("# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS x y z rgb label\n"
              "SIZE 8 8 8 4 4\nTYPE F F F F U\nCOUNT 1 1 1 1 1\nWIDTH " + n +
              "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " + n + "\nDATA binary\n");
    constexpr std::size_t kRowBytes = 3 * sizeof(double) + 2 * sizeof(std::uint32_t);
    writeRows(out, rows, kRowBytes, [](char* row, const VELA::SVPoint3d& p, std::int32_t plane, const Colour& c) {
        row = put(row, p.x);
        row = put(row, p.y);
        row = put(row, p.z);
        row = put(row, std::uint32_t(0xFF000000u) | (std::uint32_t(c[0]) << 16) | (std::uint32_t(c[1]) << 8) | c[2]);
        return put(row, static_cast<std::uint32_t>(plane));
    });
}

void writePly(AtomicFile& out, const LabelledRows& rows)
{
    out.write("ply\nformat binary_little_endian 1.0\ncomment plane: id of the point's plane, -1 for none\n"
              "element vertex " + std::to_string(rowCount(rows)) +
              "\nproperty double x\nproperty double y\nproperty double z\nproperty uchar red\n"
              "property uchar green\nproperty uchar blue\nproperty int plane\nend_header\n");
    constexpr std::size_t kRowBytes = 3 * sizeof(double) + 3 + sizeof(std::int32_t);
    writeRows(out, rows, kRowBytes, [](char* row, const VELA::SVPoint3d& p, std::int32_t plane, const Colour& c) {
        row = put(row, p.x);
        row = put(row, p.y);
        row = put(row, p.z);
        std::memcpy(row, c.data(), 3);
        return put(row + 3, plane > 0 ? plane : std::int32_t(-1));
    });
}

// x,y,z,plane with the result file's 20 significant digits.
void writeText(AtomicFile& out, const LabelledRows& rows)
{
    constexpr std::size_t kRowRoom = 3 * (kTwentyDigitsRoom + 1) + 12;  // "-1" or up to 10 digits, the line end
    writeRows(out, rows, kRowRoom, [](char* row, const VELA::SVPoint3d& p, std::int32_t plane, const Colour&) {
        for (double v : {p.x, p.y, p.z}) {
            row = writeTwentyDigits(row, v);
            *row++ = ',';
        }
        row = std::to_chars(row, row + 11, plane > 0 ? plane : -1).ptr;
        *row++ = '\n';
        return row;
    });
}

}  // namespace

LabelledRows labelRows(const std::vector<VELA::SVPoint3d>& points, const std::vector<VELA::tag_SkippedPoint>* skipped,
                       const std::vector<std::vector<VELA::SVPoint3d>>& planes,
                       const std::vector<std::vector<std::size_t>>& planeIndices, bool inputHasColour)
{
    LabelledRows rows;
    rows.points = &points;
    rows.skipped = skipped;
    rows.inputHasColour = inputHasColour;
    rows.planeOf.assign(points.size(), 0);
    for (std::size_t k = 0; k < planeIndices.size(); ++k) {
        for (std::size_t index : planeIndices[k]) rows.planeOf[index] = static_cast<std::int32_t>(k + 1);
        const VELA::SVPoint3d first = planes[k].empty() ? VELA::SVPoint3d() : planes[k].front();
        rows.planeColours.push_back(Colour{first.r, first.g, first.b});
    }
    return rows;
}

std::size_t rowCount(const LabelledRows& rows)
{
    return rows.points->size() + (rows.skipped ? rows.skipped->size() : 0);
}

bool writeLabels(const std::string& fileName, const LabelledRows& rows, const LasLabelSource* lasSource,
                 std::string& error)
{
    AtomicFile out(fileName);
    if (endsWith(fileName, ".las")) {
        const bool written = lasSource ? writeLasLabelsFromLas(out, rows, *lasSource, error)
                                       : writeLasLabels(out, rows, error);
        if (!written) {
            if (error.empty()) error = out.error();
            return false;
        }
    } else if (endsWith(fileName, ".pcd")) {
        writePcd(out, rows);
    } else if (endsWith(fileName, ".ply")) {
        writePly(out, rows);
    } else {
        writeText(out, rows);
    }
    if (out.commit()) return true;
    error = out.error();
    return false;
}

}  // namespace velaseg
