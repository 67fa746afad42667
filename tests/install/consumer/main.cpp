// Segments a flat 4 m x 4 m square through the installed library.
#include <iostream>
#include <vector>

#include "vela_plane.h"

int main()
{
    std::vector<VELA::SVPoint3d> points;
    for (int i = 0; i < 40; ++i)
        for (int j = 0; j < 40; ++j) points.emplace_back(0.1 * i, 0.1 * j, 0.01 * (i % 3));
    VELA::VELA_Plane segmenter;
    segmenter.set_parameters(segmenter.get_mu(points));
    std::vector<std::vector<VELA::SVPoint3d>> planes;
    std::vector<VELA::SVPoint3d> others;
    std::vector<VELA::tag_PCoefficient> coefficients;
    segmenter.VELA_PlaneSegmentation(points, planes, others, coefficients);
    std::cerr << "planes: " << planes.size() << ", points in planes or not: "
              << (planes.empty() ? 0 : planes[0].size()) + others.size() << "\n";
    return planes.size() == 1 ? 0 : 1;
}
