#include "las_reader.h"

#include <iostream>

namespace velaseg {

bool readLasFile(std::string fileName, std::vector<VELA::SVPoint3d>& points)
{
    (void)fileName;
    (void)points;
    std::cout << "ERROR: could not open lasreader" << std::endl;
    return false;
}

}  // namespace velaseg
