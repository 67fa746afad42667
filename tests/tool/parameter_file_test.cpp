#include <gtest/gtest.h>

#include "parameter_file.h"
#include "profile_file.h"
#include "support/test_support.h"
#include "vela_plane.h"

using VELA::tag_VELAParameter;
using velaseg::readParameterFile;

namespace {

// What the driver hands over: defaults with spacing-derived values that do
// not survive a "%lf" round trip.
tag_VELAParameter derived()
{
    VELA::VELA_Plane plane;
    tag_VELAParameter p = plane.get_para();
    p.gamma = 0.1234567;
    p.rmin = 0.01234567;
    return p;
}

tag_VELAParameter readFrom(const testsupport::TempDir& dir, const std::string& text, bool* loaded = nullptr)
{
    const std::string path = dir.file("velaseg.ini");
    testsupport::writeFile(path, text);
    tag_VELAParameter p = derived();
    const bool ok = readParameterFile(path, p);
    if (loaded) *loaded = ok;
    return p;
}

}  // namespace

TEST(ParameterFile, missing_file_leaves_the_record_untouched)
{
    tag_VELAParameter p = derived();
    EXPECT_FALSE(readParameterFile("/nonexistent/velaseg.ini", p));
    EXPECT_EQ(p.gamma, 0.1234567);
}

TEST(ParameterFile, full_file_sets_all_eight_keys)
{
    testsupport::TempDir dir;
    bool loaded = false;
    const tag_VELAParameter p = readFrom(dir,
        "[PARA]\nkappa=30\nphic=0.06\ntau=0.2\nepsilon=-1\ngamma=0.5\ndelta=0.07\nphid=0.15\ntheta=12\n", &loaded);
    EXPECT_TRUE(loaded);
    EXPECT_EQ(p.kappa, 30);
    EXPECT_EQ(p.phic, 0.06);
    EXPECT_EQ(p.tau, 0.2);
    EXPECT_EQ(p.epsilon, -1.0);
    EXPECT_EQ(p.gamma, 0.5);
    EXPECT_EQ(p.delta, 0.07);
    EXPECT_EQ(p.phid, 0.15);
    EXPECT_EQ(p.theta, 12.0);
    EXPECT_EQ(p.rmin, 0.01234567);  // not a key of the file: never rounded
}

TEST(ParameterFile, absent_keys_are_rounded_to_six_decimals)
{
    testsupport::TempDir dir;
    const tag_VELAParameter p = readFrom(dir, "[PARA]\nkappa=50\n");
    EXPECT_EQ(p.kappa, 50);
    EXPECT_EQ(p.gamma, 0.123457);
    EXPECT_EQ(p.tau, 0.1);
}

TEST(ParameterFile, names_match_without_case_and_values_are_trimmed)
{
    testsupport::TempDir dir;
    const tag_VELAParameter p = readFrom(dir, "; comment\r\n [para] \r\n  TAU =  0.3 \r\nKappa\t=\t25\r\n");
    EXPECT_EQ(p.tau, 0.3);
    EXPECT_EQ(p.kappa, 25);
}

TEST(ParameterFile, empty_delta_and_phid_follow_tau)
{
    testsupport::TempDir dir;
    tag_VELAParameter p = readFrom(dir, "[PARA]\ndelta=\ntau=0.3\n");
    EXPECT_EQ(p.delta, 0.15);
    p = readFrom(dir, "[PARA]\nphid=\n");
    EXPECT_EQ(p.phid, 0.1);  // the current tau
}

TEST(ParameterFile, scans_stop_at_the_first_character_that_does_not_fit)
{
    testsupport::TempDir dir;
    const tag_VELAParameter p = readFrom(dir, "[PARA]\ntheta=abc\nkappa=1.9\nphic=12abc\nepsilon=\n");
    EXPECT_EQ(p.theta, 10.0);
    EXPECT_EQ(p.kappa, 1);
    EXPECT_EQ(p.phic, 12.0);
    EXPECT_EQ(p.epsilon, 0.0);  // empty and not derived: unchanged
}

TEST(ParameterFile, another_section_reads_as_absent_keys)
{
    testsupport::TempDir dir;
    bool loaded = false;
    const tag_VELAParameter p = readFrom(dir, "[OTHER]\nkappa=99\n", &loaded);
    EXPECT_TRUE(loaded);
    EXPECT_EQ(p.kappa, 20);
    EXPECT_EQ(p.gamma, 0.123457);
}

TEST(ParameterFile, kappa_out_of_int_range_saturates)
{
    testsupport::TempDir dir;
    EXPECT_EQ(readFrom(dir, "[PARA]\nkappa=99999999999\n").kappa, 2147483647);
}

TEST(ProfileFile, values_are_cut_at_1023_characters)
{
    testsupport::TempDir dir;
    const std::string path = dir.file("long.ini");
    testsupport::writeFile(path, "[s]\nk=" + std::string(2000, '7') + "\n");
    const velaseg::ProfileFile file = velaseg::loadProfileFile(path);
    EXPECT_EQ(velaseg::profileString(file, "s", "k", "d"), std::string(1023, '7'));
    EXPECT_EQ(velaseg::profileString(file, "s", "missing", "d"), "d");
}

TEST(ParameterFilePath, extension_of_the_file_name_only_is_replaced)
{
    EXPECT_EQ(velaseg::parameterFilePath("/opt/seg/velaseg.exe"), "/opt/seg/velaseg.ini");
    EXPECT_EQ(velaseg::parameterFilePath("/opt/seg/velaseg"), "/opt/seg/velaseg.ini");
    EXPECT_EQ(velaseg::parameterFilePath("/home/u/.local/bin/velaseg"), "/home/u/.local/bin/velaseg.ini");
    EXPECT_EQ(velaseg::parameterFilePath("velaseg"), "velaseg.ini");
}
