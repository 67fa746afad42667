// INI-style profile files: "[section]" headers and "key=value" lines.
// Section and key names match without regard to case, blanks around names
// and values are dropped, lines starting with ';' or '#' are comments. The
// default text stands in when the file, the section or the key is absent; a
// key with nothing after '=' yields the empty text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velaseg {

// A profile file read once; an unreadable file reads as an empty one.
struct ProfileFile {
    struct Entry {
        std::string section;
        std::string key;
        std::string value;
    };
    std::vector<Entry> entries;  // in file order; the first match counts
};

// No parameter file needs more; a larger one is read only this far.
constexpr std::size_t kMaxProfileBytes = std::size_t(1) << 20;

// Only a regular file is read (a directory, FIFO or device could block or
// never end), and at most its first kMaxProfileBytes, up to the last whole
// line, with one line on standard error saying so. When nothing can be read,
// the file is empty and `problem`, if given, says why (else it goes to
// standard error).
ProfileFile loadProfileFile(const std::string& path, std::string* problem = nullptr);

// Values are cut at 1023 characters, as a 1024-byte buffer would hold them.
std::string profileString(const ProfileFile& file, const std::string& section, const std::string& key,
                          const std::string& defaultText);

}  // namespace velaseg
