// The large-page placement of per-point arrays, under the names the spatial
// indexes and the stages above them use.
#pragma once

#include "vela_large_pages.h"

namespace cl {

using vela::adviseLargePages;
using vela::reserveOnLargePages;
using vela::resizeOnLargePages;

}  // namespace cl
