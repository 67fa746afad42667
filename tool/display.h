// Whether a window can be shown: the viewer's toolkit ends the whole process
// when it cannot open a display, so velaseg asks first.
#pragma once

namespace velaseg {

bool displayAvailable();

}  // namespace velaseg
