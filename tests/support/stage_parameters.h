// Parameter records for calling one stage with the few values a test pins;
// every other field holds the segmenter's default.
#pragma once

#include <cstdint>

#include "vela_plane.h"

namespace testsupport {

inline VELA::tag_VELAParameter defaultParameters() { return VELA::VELA_Plane().get_para(); }

// What the multi-scale segmentation reads.
inline VELA::tag_VELAParameter multiScaleParameters(double rmax, double rmin, double rdelta, std::int32_t kappa,
                                                    double phic)
{
    VELA::tag_VELAParameter p = defaultParameters();
    p.rmax = rmax;
    p.rmin = rmin;
    p.rdelta = rdelta;
    p.kappa = kappa;
    p.phic = phic;
    return p;
}

// What RPS generation reads.
inline VELA::tag_VELAParameter planeTestParameters(std::int32_t kappa, double tau, double epsilon)
{
    VELA::tag_VELAParameter p = defaultParameters();
    p.kappa = kappa;
    p.tau = tau;
    p.epsilon = epsilon;
    return p;
}

// What region growing and segment merging read.
inline VELA::tag_VELAParameter growingParameters(double gamma, double phid, double theta)
{
    VELA::tag_VELAParameter p = defaultParameters();
    p.gamma = gamma;
    p.phid = phid;
    p.theta = theta;
    return p;
}

}  // namespace testsupport
