#include "parameter_file.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include <unistd.h>

namespace velaseg {
namespace {

const char* const kSection = "PARA";

std::string formatDouble(double v)
{
    char buf[512];
    std::snprintf(buf, sizeof buf, "%lf", v);
    return buf;
}

// Why `value` makes no sense for `key`; empty when it does. Only epsilon, a
// logarithm, may be negative; the resolutions must be positive and their
// ratio below 1, or the levels would never shrink.
std::string valueProblem(const std::string& key, double value)
{
    if (!std::isfinite(value)) return "is not a finite number";
    if (key == "rmin" || key == "rmax") return value > 0.0 ? "" : "is not positive";
    if (key == "rdelta") return value > 0.0 && value < 1.0 ? "" : "does not lie between 0 and 1";
    if (key != "epsilon" && value < 0.0) return "is negative";
    return "";
}

void reportRefusal(const std::string& path, const std::string& key, const std::string& text,
                   const std::string& problem, const std::string& kept)
{
    std::cerr << "velaseg: parameter file " << path << ": " << key << "=" << text << " " << problem << "; "
              << key << " keeps " << kept << std::endl;
}

// "%d" semantics: leading blanks, an optional sign and digits; text with no
// digits leaves the field alone. Out-of-range values saturate instead of
// being undefined. Trailing text (1.9, 1e30) is refused: the number meant
// is not the one the digits give.
void readInt(const ProfileFile& file, const std::string& path, const std::string& key, std::int32_t& field)
{
    const std::string text = profileString(file, kSection, key, std::to_string(field));
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(begin, &end, 10);
    if (end == begin) return;
    std::string problem;
    if (*end != '\0') problem = "is not an integer";
    else if (v < 0) problem = "is negative";
    if (!problem.empty()) {
        reportRefusal(path, key, text, problem, std::to_string(field));
        return;
    }
    field = v > INT_MAX ? INT_MAX : static_cast<std::int32_t>(v);
}

// "%lf" semantics: the longest leading number counts (12abc gives 12); text
// with none leaves the field alone.
void scanDouble(const std::string& path, const std::string& key, const std::string& text, double& field)
{
    double v;
    if (std::sscanf(text.c_str(), "%lf", &v) != 1) return;
    const std::string problem = valueProblem(key, v);
    if (!problem.empty()) {
        std::ostringstream kept;
        kept << field;
        reportRefusal(path, key, text, problem, kept.str());
        return;
    }
    field = v;
}

void readDouble(const ProfileFile& file, const std::string& path, const std::string& key, double& field)
{
    scanDouble(path, key, profileString(file, kSection, key, formatDouble(field)), field);
}

// delta and phid fall back to a share of tau when the key is present but empty.
void readDoubleOrDerive(const ProfileFile& file, const std::string& path, const std::string& key, double& field,
                        double whenEmpty)
{
    const std::string text = profileString(file, kSection, key, formatDouble(field));
    if (text.empty()) field = whenEmpty;
    else scanDouble(path, key, text, field);
}

double* doubleField(const std::string& key, VELA::tag_VELAParameter& p)
{
    if (key == "rmin") return &p.rmin;
    if (key == "rmax") return &p.rmax;
    if (key == "rdelta") return &p.rdelta;
    if (key == "phic") return &p.phic;
    if (key == "tau") return &p.tau;
    if (key == "epsilon") return &p.epsilon;
    if (key == "gamma") return &p.gamma;
    if (key == "delta") return &p.delta;
    if (key == "phid") return &p.phid;
    if (key == "theta") return &p.theta;
    return nullptr;
}

}  // namespace

void applyParameterFile(const ProfileFile& file, const std::string& path, VELA::tag_VELAParameter& para)
{
    readInt(file, path, "kappa", para.kappa);
    readDouble(file, path, "phic", para.phic);
    readDouble(file, path, "tau", para.tau);
    readDouble(file, path, "epsilon", para.epsilon);
    readDouble(file, path, "gamma", para.gamma);
    readDoubleOrDerive(file, path, "delta", para.delta, para.tau / 2.0);
    readDoubleOrDerive(file, path, "phid", para.phid, para.tau);
    readDouble(file, path, "theta", para.theta);
}

bool readParameterFile(const std::string& path, VELA::tag_VELAParameter& para)
{
    if (::access(path.c_str(), F_OK) != 0) return false;
    // A file that exists but cannot be read counts as one without keys.
    applyParameterFile(loadProfileFile(path), path, para);
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

std::string parameterSettingProblem(const std::string& assignment)
{
    const std::size_t eq = assignment.find('=');
    if (eq == std::string::npos) return "\"" + assignment + "\" is not KEY=VALUE";
    const std::string key = assignment.substr(0, eq);
    const std::string text = assignment.substr(eq + 1);
    VELA::tag_VELAParameter probe{};
    const bool isKappa = key == "kappa";
    if (!isKappa && doubleField(key, probe) == nullptr)
        return "unknown key \"" + key + "\" (known: kappa, phic, tau, epsilon, gamma, delta, phid, theta, rmin, "
               "rmax, rdelta)";

    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    std::string problem;
    if (isKappa) {
        const long v = std::strtol(begin, &end, 10);
        if (text.empty() || *end != '\0') problem = "is not an integer";
        else if (errno == ERANGE || v > INT_MAX || v < INT_MIN) problem = "is out of range";
        else if (v < 0) problem = "is negative";
    } else {
        const double v = std::strtod(begin, &end);
        if (text.empty() || *end != '\0') problem = "is not a number";
        else problem = valueProblem(key, v);
    }
    return problem.empty() ? std::string() : key + "=" + text + " " + problem;
}

void applyParameterSetting(const std::string& assignment, VELA::tag_VELAParameter& para)
{
    const std::size_t eq = assignment.find('=');
    const std::string key = assignment.substr(0, eq);
    const char* value = assignment.c_str() + eq + 1;
    if (key == "kappa") para.kappa = static_cast<std::int32_t>(std::strtol(value, nullptr, 10));
    else if (double* field = doubleField(key, para)) *field = std::strtod(value, nullptr);
}

}  // namespace velaseg
