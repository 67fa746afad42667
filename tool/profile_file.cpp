#include "profile_file.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The text of a regular file, at most kMaxProfileBytes of it; false with
// `problem` when there is none to read.
bool readBoundedText(const std::string& path, std::string& text, std::string& problem)
{
    // Non-blocking, so that opening a FIFO cannot wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem = std::strerror(errno);
        return false;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        problem = "not a regular file";
        ::close(fd);
        return false;
    }
    text.resize(kMaxProfileBytes + 1);
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, &text[got], text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    if (got > kMaxProfileBytes) {
        // A line cut in two could turn kappa=125 into kappa=12: keep whole lines.
        text.resize(kMaxProfileBytes);
        const std::size_t lastLineEnd = text.find_last_of('\n');
        text.resize(lastLineEnd == std::string::npos ? 0 : lastLineEnd + 1);
        std::cerr << "velaseg: " << path << ": larger than " << kMaxProfileBytes
                  << " bytes; only the whole lines of its first " << kMaxProfileBytes << " bytes are read"
                  << std::endl;
    }
    return true;
}

}  // namespace

ProfileFile loadProfileFile(const std::string& path, std::string* problem)
{
    ProfileFile file;
    std::string text;
    std::string why;
    if (!readBoundedText(path, text, why)) {
        if (problem) *problem = why;
        else std::cerr << "velaseg: " << path << ": " << why << "; it is not read" << std::endl;
        return file;
    }
    std::istringstream in(text);
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
