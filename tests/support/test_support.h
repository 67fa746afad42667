// Small helpers shared by the test programs: scratch folders, reading files,
// running the built programs, and the location of the real sample clouds.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/wait.h>

namespace testsupport {

// A fresh folder under the system's temp dir, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "velaseg-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a shell command line with standard output and error captured apart.
inline CommandResult runCommand(const std::string& commandLine, const TempDir& scratch)
{
    const std::string outFile = scratch.file(".stdout");
    const std::string errFile = scratch.file(".stderr");
    const int status = std::system((commandLine + " >'" + outFile + "' 2>'" + errFile + "'").c_str());
    CommandResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = readFile(outFile);
    result.err = readFile(errFile);
    return result;
}

// The folder of the real sample clouds, as the build was configured
// (VELASEG_SHARED_DIR); empty when the test program was built without one.
inline std::string sharedDataDir()
{
#ifdef VELASEG_DATA_DIR
    return VELASEG_DATA_DIR;
#else
    return std::string();
#endif
}

// A real cloud of that folder; empty when it is not there.
inline std::string sharedDataFile(const std::string& name)
{
    const std::string dir = sharedDataDir();
    if (dir.empty()) return std::string();
    const std::filesystem::path path = std::filesystem::path(dir) / name;
    return std::filesystem::exists(path) ? path.string() : std::string();
}

}  // namespace testsupport
