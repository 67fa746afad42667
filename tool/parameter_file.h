// Parameter values from outside the program: the parameter file (section
// "PARA", keys kappa, phic, tau, epsilon, gamma, delta, phid and theta
// override the derived thresholds) and the settings of the command line.
#pragma once

#include <string>

#include "profile_file.h"
#include "vela_plane.h"

namespace velaseg {

// False, with the record untouched, when no file exists at `path`. Otherwise
// every key is read; an absent key keeps its value printed with "%lf" and
// scanned back (so rounded to six decimals). A value that makes no sense (not
// finite, negative where a size, distance or count is meant, an integer with
// trailing text) is not applied: one line on standard error names it.
bool readParameterFile(const std::string& path, VELA::tag_VELAParameter& para);

// The keys of a loaded parameter file applied as readParameterFile does;
// `path` names the file in the messages.
void applyParameterFile(const ProfileFile& file, const std::string& path, VELA::tag_VELAParameter& para);

// `exePath` with the extension of its file name replaced by ".ini" (appended
// when the file name has none); directory names are never cut.
std::string parameterFilePath(const std::string& exePath);

// Why "KEY=VALUE" cannot set a threshold: an unknown key, a value that is not
// a whole finite number (an integer for kappa), or one that makes no sense
// for the key. Empty when it can.
std::string parameterSettingProblem(const std::string& assignment);

// Applies an assignment that parameterSettingProblem accepted.
void applyParameterSetting(const std::string& assignment, VELA::tag_VELAParameter& para);

}  // namespace velaseg
