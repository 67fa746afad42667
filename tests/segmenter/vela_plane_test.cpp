#include <climits>
#include <cmath>

#include <gtest/gtest.h>

#include "vela_plane.h"

using VELA::tag_VELAParameter;
using VELA::VELA_Plane;

namespace {

void expectPara(const tag_VELAParameter& p, double rmin, double rmax, int kappa, double gamma)
{
    EXPECT_EQ(p.rmin, rmin);
    EXPECT_EQ(p.rmax, rmax);
    EXPECT_EQ(p.kappa, kappa);
    EXPECT_EQ(p.gamma, gamma);
}

}  // namespace

TEST(VelaPlane, rdelta_is_a_tenth_to_the_power_a_tenth)
{
    EXPECT_EQ(VELA_Plane().get_rdelta(), std::pow(0.1, 0.1));
    EXPECT_EQ(VELA_Plane().get_rdelta(), 0.7943282347242815);
    // ten steps from rmax = 2 land a hair below rmin = 0.2
    double r = 2.0;
    for (int i = 0; i < 10; ++i) r *= VELA_Plane().get_rdelta();
    EXPECT_EQ(r, 0.19999999999999996);
}

TEST(VelaPlane, default_object_holds_the_defaults)
{
    const VELA_Plane plane;
    const tag_VELAParameter p = plane.get_para();
    EXPECT_EQ(p.rmin, 0.2);
    EXPECT_EQ(p.rmax, 2.0);
    EXPECT_EQ(p.rdelta, std::pow(0.1, 0.1));
    EXPECT_EQ(p.kappa, 20);
    EXPECT_EQ(p.phic, 0.05);
    EXPECT_EQ(p.tau, 0.1);
    EXPECT_EQ(p.epsilon, 0.0);
    EXPECT_EQ(p.gamma, 0.4);
    EXPECT_EQ(p.delta, 0.05);
    EXPECT_EQ(p.phid, 0.1);
    EXPECT_EQ(p.theta, 10.0);
    EXPECT_EQ(plane.get_iter(), 0);
}

TEST(VelaPlane, eight_value_constructor_keeps_resolution_defaults)
{
    const VELA_Plane plane(30, 0.04, 0.2, -1.0, 0.6, 0.07, 0.3, 15.0);
    const tag_VELAParameter p = plane.get_para();
    EXPECT_EQ(p.rmin, 0.2);
    EXPECT_EQ(p.rmax, 2.0);
    EXPECT_EQ(p.kappa, 30);
    EXPECT_EQ(p.phic, 0.04);
    EXPECT_EQ(p.tau, 0.2);
    EXPECT_EQ(p.epsilon, -1.0);
    EXPECT_EQ(p.gamma, 0.6);
    EXPECT_EQ(p.delta, 0.07);
    EXPECT_EQ(p.phid, 0.3);
    EXPECT_EQ(p.theta, 15.0);
    EXPECT_EQ(plane.get_iter(), 0);
}

TEST(VelaPlane, spacing_derivation_clamps_gamma_and_kappa)
{
    VELA_Plane plane;
    plane.set_parameters(0.01);
    expectPara(plane.get_para(), 0.05, 0.5, 100, 0.1);  // 7 * 0.01 clamped up
    EXPECT_EQ(plane.get_epsilon(), 0.0);                 // not touched by the derivation

    plane.set_parameters(1.0);
    expectPara(plane.get_para(), 5.0, 50.0, 20, 5.0);    // 7.0 clamped down

    plane.set_parameters(0.3);
    expectPara(plane.get_para(), 0.3 * 5.0, 0.3 * 5.0 * 10.0, 20, 7.0 * 0.3);

    plane.set_parameters(0.04);
    EXPECT_EQ(plane.get_kappa(), 25);
    plane.set_parameters(0.05);
    EXPECT_EQ(plane.get_kappa(), 20);
}

TEST(VelaPlane, rmax_comes_from_the_rmin_product)
{
    VELA_Plane plane;
    const double mu = 0.0792843;
    plane.set_parameters(mu);
    EXPECT_EQ(plane.get_rmax(), (mu * 5.0) * 10.0);
}

TEST(VelaPlane, spacing_derivation_leaves_other_parameters)
{
    VELA_Plane plane(30, 0.04, 0.2, -1.0, 0.6, 0.07, 0.3, 15.0);
    plane.set_iter(1);
    plane.set_parameters(0.02);
    EXPECT_EQ(plane.get_phic(), 0.04);
    EXPECT_EQ(plane.get_tau(), 0.2);
    EXPECT_EQ(plane.get_epsilon(), -1.0);
    EXPECT_EQ(plane.get_delta(), 0.07);
    EXPECT_EQ(plane.get_phid(), 0.3);
    EXPECT_EQ(plane.get_theta(), 15.0);
    EXPECT_EQ(plane.get_iter(), 1);
}

TEST(VelaPlane, spacing_constructor_sets_epsilon_by_spacing)
{
    EXPECT_EQ(VELA_Plane(0.2).get_epsilon(), 0.0);
    EXPECT_EQ(VELA_Plane(0.1).get_epsilon(), -3.0);  // strictly above 0.1 gives 0
    EXPECT_EQ(VELA_Plane(0.05).get_epsilon(), -3.0);
    const VELA_Plane plane(0.05);
    EXPECT_EQ(plane.get_tau(), 0.1);
    EXPECT_EQ(plane.get_phic(), 0.05);
    EXPECT_EQ(plane.get_delta(), 0.05);
    EXPECT_EQ(plane.get_phid(), 0.1);
    EXPECT_EQ(plane.get_theta(), 10.0);
    expectPara(plane.get_para(), 0.05 * 5.0, 0.05 * 5.0 * 10.0, 20, 7.0 * 0.05);
}

TEST(VelaPlane, spacing_without_int_kappa_cuts_nothing)
{
    VELA_Plane plane;
    plane.set_parameters(0.0);
    EXPECT_EQ(plane.get_kappa(), INT_MAX);
    EXPECT_EQ(plane.get_gamma(), 0.1);
    plane.set_parameters(4.0e-10);
    EXPECT_EQ(plane.get_kappa(), INT_MAX);
    plane.set_parameters(1.0e-9);
    EXPECT_EQ(plane.get_kappa(), 1000000000);
}

TEST(VelaPlane, record_constructor_zeroes_delta_and_phid_but_setter_copies_them)
{
    tag_VELAParameter rec{0.3, 3.0, 0.5, 40, 0.02, 0.2, -2.0, 0.9, 0.3, 0.4, 12.0};
    const VELA_Plane built(rec);
    EXPECT_EQ(built.get_delta(), 0.0);
    EXPECT_EQ(built.get_phid(), 0.0);
    EXPECT_EQ(built.get_rmin(), 0.3);
    EXPECT_EQ(built.get_rmax(), 3.0);
    EXPECT_EQ(built.get_rdelta(), 0.5);
    EXPECT_EQ(built.get_kappa(), 40);
    EXPECT_EQ(built.get_theta(), 12.0);
    EXPECT_EQ(built.get_iter(), 0);

    VELA_Plane set;
    set.set_iter(1);
    set.set_parameters(rec);
    EXPECT_EQ(set.get_delta(), 0.3);
    EXPECT_EQ(set.get_phid(), 0.4);
    EXPECT_EQ(set.get_rdelta(), 0.5);
    EXPECT_EQ(set.get_epsilon(), -2.0);
    EXPECT_EQ(set.get_iter(), 1);
}

TEST(VelaPlane, eight_value_setter_keeps_resolutions_and_iter)
{
    VELA_Plane plane(0.02);
    plane.set_iter(1);
    plane.set_parameters(50, 0.1, 0.3, -1.0, 0.8, 0.2, 0.25, 20.0);
    EXPECT_EQ(plane.get_rmin(), 0.02 * 5.0);
    EXPECT_EQ(plane.get_kappa(), 50);
    EXPECT_EQ(plane.get_theta(), 20.0);
    EXPECT_EQ(plane.get_iter(), 1);
}

TEST(VelaPlane, assignment_copies_all_twelve_members)
{
    VELA_Plane source(30, 0.04, 0.2, -1.0, 0.6, 0.07, 0.3, 15.0);
    source.set_iter(1);
    source.set_rmin(0.7);
    VELA_Plane target;
    target = source;
    EXPECT_EQ(target.get_iter(), 1);
    EXPECT_EQ(target.get_rmin(), 0.7);
    EXPECT_EQ(target.get_kappa(), 30);
    EXPECT_EQ(target.get_phid(), 0.3);
}
