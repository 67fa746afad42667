// Reading one value from an INI-style profile file: "[section]" headers and
// "key=value" lines. Section and key names match without regard to case,
// blanks around names and values are dropped, lines starting with ';' or '#'
// are comments. The default text stands in when the file, the section or the
// key is absent; a key with nothing after '=' yields the empty text.
#pragma once

#include <string>

namespace velaseg {

// Values are cut at 1023 characters, as a 1024-byte buffer would hold them.
std::string readProfileString(const std::string& section, const std::string& key,
                              const std::string& defaultText, const std::string& path);

}  // namespace velaseg
