// The parameter file beside the executable: section "PARA", keys kappa, phic,
// tau, epsilon, gamma, delta, phid and theta override the derived thresholds.
#pragma once

#include <string>

#include "vela_plane.h"

namespace velaseg {

// False, with the record untouched, when no file exists at `path`. Otherwise
// every key is read; an absent key keeps its value printed with "%lf" and
// scanned back (so rounded to six decimals).
bool readParameterFile(const std::string& path, VELA::tag_VELAParameter& para);

// `exePath` with the extension of its file name replaced by ".ini" (appended
// when the file name has none); directory names are never cut.
std::string parameterFilePath(const std::string& exePath);

}  // namespace velaseg
