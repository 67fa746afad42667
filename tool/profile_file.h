// INI-style profile files: "[section]" headers and "key=value" lines.
// Section and key names match without regard to case, blanks around names
// and values are dropped, lines starting with ';' or '#' are comments. The
// default text stands in when the file, the section or the key is absent; a
// key with nothing after '=' yields the empty text.
#pragma once

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

ProfileFile loadProfileFile(const std::string& path);

// Values are cut at 1023 characters, as a 1024-byte buffer would hold them.
std::string profileString(const ProfileFile& file, const std::string& section, const std::string& key,
                          const std::string& defaultText);

}  // namespace velaseg
