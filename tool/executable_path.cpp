#include "executable_path.h"

#include <vector>

#include <unistd.h>

namespace velaseg {

std::string executablePath()
{
    // The link may be longer than any fixed buffer: grow until it fits.
    std::vector<char> buf(256);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return std::string();
        if (static_cast<std::size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<std::size_t>(n));
        buf.resize(buf.size() * 2);
    }
}

}  // namespace velaseg
