#include "fuzz/fuzz_target.h"

#include <utility>

#include "parameter_file.h"
#include "point_input.h"

namespace fuzz {

const char* extensionOf(InputKind kind)
{
    switch (kind) {
    case InputKind::las:
        return ".las";
    case InputKind::pcd:
        return ".pcd";
    case InputKind::ply:
        return ".ply";
    case InputKind::xyz:
        return ".xyz";
    case InputKind::ini:
        break;
    }
    return ".ini";
}

bool kindNamed(const std::string& name, InputKind& kind)
{
    for (InputKind k : {InputKind::las, InputKind::pcd, InputKind::ply, InputKind::xyz, InputKind::ini}) {
        if (name == extensionOf(k) + 1) {
            kind = k;
            return true;
        }
    }
    return false;
}

void runInput(InputKind kind, const std::string& path, const std::vector<VELA::SVPoint3d>& scene)
{
    VELA::VELA_Plane segmenter;
    std::vector<VELA::SVPoint3d> points;
    if (kind == InputKind::ini) {
        points = scene;
    } else {
        velaseg::InputCloud input;
        velaseg::readInput(path, segmenter, input);
        points = std::move(input.points);
    }

    segmenter.set_parameters(segmenter.get_mu(points));
    if (kind == InputKind::ini) {
        VELA::tag_VELAParameter para = segmenter.get_para();
        velaseg::readParameterFile(path, para);
        segmenter.set_parameters(para);
    }
    std::vector<std::vector<VELA::SVPoint3d>> planes;
    std::vector<VELA::SVPoint3d> others;
    std::vector<VELA::tag_PCoefficient> coefficients;
    segmenter.VELA_PlaneSegmentation(points, planes, others, coefficients);
}

}  // namespace fuzz
