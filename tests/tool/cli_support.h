// Running the built velaseg in a scratch folder, and reading what it wrote.
#pragma once

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace clisupport {

inline const std::string kBinDir = VELASEG_BINARY_DIR;

// No display: the viewer is skipped and nothing waits for a window.
inline testsupport::CommandResult runVelaseg(const testsupport::TempDir& dir, const std::string& args,
                                             const std::string& exe = kBinDir + "/velaseg")
{
    return testsupport::runCommand("cd '" + dir.path().string() + "' && env -u DISPLAY '" + exe + "' " + args, dir);
}

// The two clock lines are the only ones that differ between runs.
inline std::string withoutTimes(const std::string& out)
{
    static const std::regex times("(VELA time is: |Total time is: )[0-9.e+-]+s");
    return std::regex_replace(out, times, "$1<t>s");
}

struct Xyz {
    double x, y, z;
    bool operator<(const Xyz& o) const { return x < o.x || (x == o.x && (y < o.y || (y == o.y && z < o.z))); }
    bool operator==(const Xyz& o) const { return x == o.x && y == o.y && z == o.z; }
};

// The coordinates of a result file's lines (twenty digits read back exactly).
inline std::vector<Xyz> resultPoints(const std::string& path)
{
    std::vector<Xyz> points;
    const std::string text = testsupport::readFile(path);
    const char* at = text.c_str();
    while (*at) {
        char* end = nullptr;
        Xyz p;
        p.x = std::strtod(at, &end);
        p.y = std::strtod(end, &end);
        p.z = std::strtod(end, &end);
        points.push_back(p);
        at = std::strchr(end, '\n');
        if (!at) break;
        ++at;
    }
    return points;
}

}  // namespace clisupport
