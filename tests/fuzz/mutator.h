// Deterministic mutation of seed inputs: the input number `index` of a run
// with `runSeed` depends on nothing else, so any input can be made again on
// its own.
#pragma once

#include <cstdint>
#include <string>

#include "fuzz/seeds.h"

namespace fuzz {

// One to four stacked mutations of the seed's bytes: bits, bytes and chunks
// anywhere; extreme values in its binary fields; in its text, numbers and
// words replaced and lines dropped, doubled, swapped or inserted.
std::string mutate(const Seed& seed, std::uint64_t runSeed, std::uint64_t index);

}  // namespace fuzz
