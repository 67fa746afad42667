// LAS output: writes points as an uncompressed LAS file of a chosen version
// and point format, for the built-in sample and for tests of the reader.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "vela_plane.h"

namespace velaseg {

struct LasWriteOptions {
    int versionMinor = 2;  // LAS 1.<versionMinor>, 0 to 4
    int pointFormat = 3;   // 0 to 10
    // Stored integer = round((coordinate - offset) / scale); it must fit 32 bits.
    double scale[3] = {0.001, 0.001, 0.001};
    double offset[3] = {0.0, 0.0, 0.0};
    // Exact 16-bit red, green, blue per point. Empty: each 8-bit channel v is
    // written as v * 257, the usual widening, whose low byte is v again.
    std::vector<std::array<std::uint16_t, 3>> colours16;
    // Bytes appended to every record after its standard fields (filled with a
    // pattern); readers must skip them.
    std::uint16_t extraBytes = 0;
    // Bytes added to the declared header size beyond the standard block.
    std::uint16_t extraHeaderBytes = 0;
    // Bytes between the header and the point data (no VLRs are declared).
    std::uint32_t gapBeforePoints = 0;
};

// Writes `points` to `fileName` (replacing it). False, with a one-line reason
// on standard error, when the options are invalid, a coordinate does not fit
// the chosen scale and offset, or the file cannot be written.
bool writeLasFile(const std::string& fileName, const std::vector<VELA::SVPoint3d>& points,
                  const LasWriteOptions& options = LasWriteOptions());

}  // namespace velaseg
