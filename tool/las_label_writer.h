// LAS 1.4 labels: every point record with a 32-bit signed "PlaneId" (-1 for
// no plane) appended as extra bytes and declared in the Extra Bytes VLR, so
// that LAS tools read it as a named dimension.
#pragma once

#include <string>
#include <vector>

#include "atomic_file.h"
#include "label_writer.h"

namespace velaseg {

// Scale and offset of a LAS file written from points that came as floating
// point (PCD, PLY, text).
struct LasQuantisation {
    double scale[3] = {0.0, 0.0, 0.0};
    double offset[3] = {0.0, 0.0, 0.0};
};

// Per axis: the offset is the multiple of 1000 below the first finite
// point (toward zero) and the scale the power of two that leaves 30 bits for
// the largest distance from it. Every float whose magnitude is at least 1/64
// of the largest offset distance is then stored exactly, and any coordinate
// within 2^-31 of that distance.
LasQuantisation chooseLasQuantisation(const std::vector<VELA::SVPoint3d>& points);

// From a LAS input: its records byte for byte (same point format, scale and
// offset, its own extra bytes and VLRs), the colour of a plane's points set
// to the plane's colour when the format has colour, PlaneId appended.
bool writeLasLabelsFromLas(AtomicFile& out, const LabelledRows& rows, const LasLabelSource& source,
                           std::string& error);

// From any other input: point format 7 (colour: the plane's, or the
// input's, white without one), never classified, with the chosen scale and
// offset. A row with a non-finite coordinate is stored at the offset and
// flagged withheld.
bool writeLasLabels(AtomicFile& out, const LabelledRows& rows, std::string& error);

}  // namespace velaseg
