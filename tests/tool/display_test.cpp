#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "display.h"

TEST(Display, unreachable_display_is_reported_instead_of_aborting)
{
    const char* saved = std::getenv("DISPLAY");
    const std::string previous = saved ? saved : "";
    setenv("DISPLAY", ":4711", 1);  // no server listens there
    EXPECT_FALSE(velaseg::displayAvailable());
    unsetenv("DISPLAY");
    EXPECT_FALSE(velaseg::displayAvailable());
    if (saved) setenv("DISPLAY", previous.c_str(), 1);
}
