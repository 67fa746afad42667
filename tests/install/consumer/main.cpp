// Segments a rippled 4 m x 4 m square through the installed library: one plane.
#include <vector>

#include "vela_plane.h"

int main()
{
    std::vector<VELA::SVPoint3d> points;
    for (int i = 0; i < 1600; ++i) points.emplace_back(0.1 * (i % 40), 0.1 * (i / 40), 0.01 * (i % 40 % 3));
    VELA::VELA_Plane segmenter;
    segmenter.set_parameters(segmenter.get_mu(points));
    std::vector<std::vector<VELA::SVPoint3d>> planes;
    std::vector<VELA::SVPoint3d> others;
    std::vector<VELA::tag_PCoefficient> coefficients;
    segmenter.VELA_PlaneSegmentation(points, planes, others, coefficients);
    return planes.size() == 1 && planes[0].size() + others.size() == points.size() ? 0 : 1;
}
