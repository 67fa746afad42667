// Construction and parameters of the exported segmenter object.
#include "vela_plane.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace VELA {

namespace {

// Resolution ratio: ten steps take rmax = 10 * rmin down to rmin.
double defaultRdelta() { return std::pow(0.1, 0.1); }

// kappa = max(20, ceil(1 / mu)). A spacing of 0 (duplicates only, fewer than
// two points) or below ~4.66e-10 has no int value there: every point would
// need its own cluster, so the largest int stands in and nothing is cut.
std::int32_t kappaFromSpacing(double mu)
{
    const double k = std::max(20.0, std::ceil(1.0 / mu));
    if (!(k <= static_cast<double>(INT_MAX))) return INT_MAX;
    return static_cast<std::int32_t>(k);
}

}  // namespace

VELA_Plane::VELA_Plane()
    : rmin(0.2), rmax(2.0), rdelta(defaultRdelta()), kappa(20), phic(0.05), tau(0.1),
      epsilon(0.0), gamma(0.4), delta(0.05), phid(0.1), theta(10.0), iter(0)
{
}

VELA_Plane::VELA_Plane(int kappa_, double phic_, double tau_, double epsilon_, double gamma_,
                       double delta_, double phid_, double theta_)
    : rmin(0.2), rmax(2.0), rdelta(defaultRdelta()), kappa(kappa_), phic(phic_), tau(tau_),
      epsilon(epsilon_), gamma(gamma_), delta(delta_), phid(phid_), theta(theta_), iter(0)
{
}

VELA_Plane::VELA_Plane(double mu)
    : phic(0.05), tau(0.1), epsilon(mu > 0.1 ? 0.0 : -3.0), delta(0.05), phid(0.1), theta(10.0),
      iter(0)
{
    set_parameters(mu);
}

// delta and phid are deliberately not taken from the record here.
VELA_Plane::VELA_Plane(tag_VELAParameter para)
    : rmin(para.rmin), rmax(para.rmax), rdelta(para.rdelta), kappa(para.kappa), phic(para.phic),
      tau(para.tau), epsilon(para.epsilon), gamma(para.gamma), delta(0.0), phid(0.0),
      theta(para.theta), iter(0)
{
}

VELA_Plane::~VELA_Plane() = default;

VELA_Plane& VELA_Plane::operator=(const VELA_Plane& other) = default;

tag_VELAParameter VELA_Plane::get_para() const
{
    return tag_VELAParameter{rmin, rmax, rdelta, kappa, phic, tau, epsilon, gamma, delta, phid, theta};
}

void VELA_Plane::set_parameters(int kappa_, double phic_, double tau_, double epsilon_,
                                double gamma_, double delta_, double phid_, double theta_)
{
    kappa = kappa_;
    phic = phic_;
    tau = tau_;
    epsilon = epsilon_;
    gamma = gamma_;
    delta = delta_;
    phid = phid_;
    theta = theta_;
}

void VELA_Plane::set_parameters(double mu)
{
    rmin = mu * 5.0;
    rmax = rmin * 10.0;  // from the product, not mu * 50
    rdelta = defaultRdelta();
    kappa = kappaFromSpacing(mu);
    gamma = 7.0 * mu;
    if (gamma < 0.1) gamma = 0.1;
    if (gamma > 5.0) gamma = 5.0;
}

void VELA_Plane::set_parameters(tag_VELAParameter para)
{
    rmin = para.rmin;
    rmax = para.rmax;
    rdelta = para.rdelta;
    kappa = para.kappa;
    phic = para.phic;
    tau = para.tau;
    epsilon = para.epsilon;
    gamma = para.gamma;
    delta = para.delta;
    phid = para.phid;
    theta = para.theta;
}

}  // namespace VELA
