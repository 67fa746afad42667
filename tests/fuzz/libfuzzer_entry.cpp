// libFuzzer entry for coverage-guided hunts: every input is written to a
// file and run as velaseg runs a file of the kind this target was built for.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "fuzz/fuzz_target.h"
#include "fuzz/seeds.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzz::InputKind kind = [] {
        fuzz::InputKind k = fuzz::InputKind::las;
        fuzz::kindNamed(VELASEG_FUZZ_KIND, k);
        return k;
    }();
    static const std::vector<VELA::SVPoint3d> scene = fuzz::seedScene();
    // The readers take paths; one file per process, so parallel jobs do not meet.
    static const std::string path =
        "/tmp/velaseg-libfuzzer-" + std::to_string(getpid()) + fuzz::extensionOf(kind);

    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    fuzz::runInput(kind, path, scene);
    return 0;
}
