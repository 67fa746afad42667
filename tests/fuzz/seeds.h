// The seed inputs of the mutation run: small LAS, PCD and parameter files
// made from the synthetic scene, the same bytes on every machine.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "fuzz/fuzz_target.h"

namespace fuzz {

// A binary field worth overwriting with extreme values: `width` bytes at
// `offset`, a floating-point number when `real`.
struct Field {
    std::size_t offset;
    int width;
    bool real;
};

struct Seed {
    std::string name;
    InputKind kind = InputKind::las;
    std::string bytes;
    std::size_t textBytes = 0;  // leading bytes made of lines and words
    std::vector<Field> fields;
};

std::vector<Seed> makeSeeds();

// The cloud a parameter file is tried on: a small house.
std::vector<VELA::SVPoint3d> seedScene();

}  // namespace fuzz
