// The --labels output: every input point, in the input's order, with the id
// of its plane (1, 2, ... in the order of the result file), as LAS, PCD, PLY
// or comma-separated text, chosen by the file name's extension.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "las_records.h"
#include "vela_plane.h"

namespace velaseg {

using Colour = std::array<std::uint8_t, 3>;

// The input's rows with their planes: the points that were segmented, and
// the rows the PCD reader left out (not finite), which belong to no plane.
struct LabelledRows {
    const std::vector<VELA::SVPoint3d>* points = nullptr;
    const std::vector<VELA::tag_SkippedPoint>* skipped = nullptr;  // by row; may be null
    std::vector<std::int32_t> planeOf;  // per point: plane id, 0 for none
    std::vector<Colour> planeColours;   // of plane id k at k - 1
    bool inputHasColour = false;        // else points of no plane are white
};

LabelledRows labelRows(const std::vector<VELA::SVPoint3d>& points, const std::vector<VELA::tag_SkippedPoint>* skipped,
                       const std::vector<std::vector<VELA::SVPoint3d>>& planes,
                       const std::vector<std::vector<std::size_t>>& planeIndices, bool inputHasColour);

std::size_t rowCount(const LabelledRows& rows);

// Calls visit(point, planeId, colour) for rows [first, end) in file order:
// the plane's colour for a plane's point, else the input's colour (white
// when the input had none).
template <typename Visit>
void forEachRowIn(const LabelledRows& rows, std::size_t first, std::size_t end, Visit&& visit)
{
    static const Colour white{255, 255, 255};
    const std::vector<VELA::SVPoint3d>& points = *rows.points;
    const std::size_t skippedCount = rows.skipped ? rows.skipped->size() : 0;
    // The rows left out before `first` tell which point comes next.
    std::size_t nextSkipped = 0;
    if (rows.skipped)
        nextSkipped = static_cast<std::size_t>(
            std::lower_bound(rows.skipped->begin(), rows.skipped->end(), first,
                             [](const VELA::tag_SkippedPoint& s, std::size_t row) { return s.row < row; }) -
            rows.skipped->begin());
    std::size_t nextPoint = first - nextSkipped;
    for (std::size_t row = first; row < end; ++row) {
        if (nextSkipped < skippedCount && (*rows.skipped)[nextSkipped].row == row) {
            visit((*rows.skipped)[nextSkipped++].point, 0, white);
            continue;
        }
        const VELA::SVPoint3d& p = points[nextPoint];
        const std::int32_t plane = rows.planeOf[nextPoint++];
        const Colour own = rows.inputHasColour ? Colour{p.r, p.g, p.b} : white;
        visit(p, plane, plane > 0 ? rows.planeColours[static_cast<std::size_t>(plane - 1)] : own);
    }
}

// forEachRowIn over every row.
template <typename Visit>
void forEachRow(const LabelledRows& rows, Visit&& visit)
{
    forEachRowIn(rows, 0, rowCount(rows), visit);
}

// A LAS input whose point records a LAS labels file copies.
struct LasLabelSource {
    std::string fileName;
    LasRecordSource records;
};

// Writes the labels file (whole or not at all). `lasSource` is set for a
// LAS input. False, with `error` saying why, when it could not be written.
bool writeLabels(const std::string& fileName, const LabelledRows& rows, const LasLabelSource* lasSource,
                 std::string& error);

}  // namespace velaseg
