#include "display.h"

#include <X11/Xlib.h>

namespace velaseg {

bool displayAvailable()
{
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    XCloseDisplay(display);
    return true;
}

}  // namespace velaseg
