// Where the running program lives: its parameter file lies beside it.
#pragma once

#include <string>

namespace velaseg {

// Full path of the running executable; empty when the system cannot tell.
std::string executablePath();

}  // namespace velaseg
