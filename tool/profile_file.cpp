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
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

std::string readProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultText, const std::string& path)
{
    const std::size_t maxLength = 1023;
    std::ifstream in(path);
    if (!in) return defaultText.substr(0, maxLength);

    bool inSection = false;
    std::string line;
    while (std::getline(in, line)) {
        const std::string text = trim(line);  // also drops the '\r' of CRLF files
        if (text.empty() || text[0] == ';' || text[0] == '#') continue;
        if (text[0] == '[') {
            const std::size_t close = text.find(']');
            const std::string name = trim(text.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            inSection = equalsIgnoringCase(name, section);
            continue;
        }
        if (!inSection) continue;
        const std::size_t eq = text.find('=');
        if (eq == std::string::npos) continue;
        if (!equalsIgnoringCase(trim(text.substr(0, eq)), key)) continue;
        return trim(text.substr(eq + 1)).substr(0, maxLength);
    }
    return defaultText.substr(0, maxLength);
}

}  // namespace velaseg
