#include "profile_file.h"

#include <cctype>
#include <fstream>

namespace velaseg {
namespace {

std::string trim(const std::string& s)
{
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(s[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(s[end - 1]))) --end;
    return s.substr(begin, end - begin);
}

bool equalsIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

ProfileFile loadProfileFile(const std::string& path)
{
    ProfileFile file;
    std::ifstream in(path);
    std::string section;
    bool inSection = false;
    std::string line;
    while (std::getline(in, line)) {
        const std::string text = trim(line);  // also drops the '\r' of CRLF files
        if (text.empty() || text[0] == ';' || text[0] == '#') continue;
        if (text[0] == '[') {
            const std::size_t close = text.find(']');
            section = trim(text.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            inSection = true;
            continue;
        }
        const std::size_t eq = text.find('=');
        if (!inSection || eq == std::string::npos) continue;
        file.entries.push_back({section, trim(text.substr(0, eq)), trim(text.substr(eq + 1))});
    }
    return file;
}

std::string profileString(const ProfileFile& file, const std::string& section, const std::string& key,
                          const std::string& defaultText)
{
    const std::size_t maxLength = 1023;
    for (const ProfileFile::Entry& entry : file.entries)
        if (equalsIgnoringCase(entry.section, section) && equalsIgnoringCase(entry.key, key))
            return entry.value.substr(0, maxLength);
    return defaultText.substr(0, maxLength);
}

}  // namespace velaseg
