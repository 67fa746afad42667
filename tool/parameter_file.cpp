#include "parameter_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "profile_file.h"

namespace velaseg {
namespace {

const char* const kSection = "PARA";

std::string formatDouble(double v)
{
    char buf[512];
    std::snprintf(buf, sizeof buf, "%lf", v);
    return buf;
}

// "%d" semantics: leading blanks, an optional sign and digits; text with no
// digits leaves the field alone. Out-of-range values saturate instead of
// being undefined.
void scanInt(const std::string& text, std::int32_t& field)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(begin, &end, 10);
    if (end == begin) return;
    if (v > INT_MAX) field = INT_MAX;
    else if (v < INT_MIN) field = INT_MIN;
    else field = static_cast<std::int32_t>(v);
}

void scanDouble(const std::string& text, double& field)
{
    double v;
    if (std::sscanf(text.c_str(), "%lf", &v) == 1) field = v;
}

void readDouble(const ProfileFile& file, const std::string& key, double& field)
{
    scanDouble(profileString(file, kSection, key, formatDouble(field)), field);
}

// delta and phid fall back to a share of tau when the key is present but empty.
void readDoubleOrDerive(const ProfileFile& file, const std::string& key, double& field, double whenEmpty)
{
    const std::string text = profileString(file, kSection, key, formatDouble(field));
    if (text.empty()) field = whenEmpty;
    else scanDouble(text, field);
}

}  // namespace

bool readParameterFile(const std::string& path, VELA::tag_VELAParameter& para)
{
    if (::access(path.c_str(), F_OK) != 0) return false;

    const ProfileFile file = loadProfileFile(path);
    scanInt(profileString(file, kSection, "kappa", std::to_string(para.kappa)), para.kappa);
    readDouble(file, "phic", para.phic);
    readDouble(file, "tau", para.tau);
    readDouble(file, "epsilon", para.epsilon);
    readDouble(file, "gamma", para.gamma);
    readDoubleOrDerive(file, "delta", para.delta, para.tau / 2.0);
    readDoubleOrDerive(file, "phid", para.phid, para.tau);
    readDouble(file, "theta", para.theta);
    return true;
}

std::string parameterFilePath(const std::string& exePath)
{
    const std::size_t slash = exePath.find_last_of('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = exePath.find_last_of('.');
    // A dot before the file name belongs to a directory; a leading dot makes a
    // hidden name, not an extension.
    if (dot == std::string::npos || dot <= nameStart) return exePath + ".ini";
    return exePath.substr(0, dot) + ".ini";
}

}  // namespace velaseg
