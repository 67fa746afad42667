#include <filesystem>

#include <gtest/gtest.h>
#include <sys/stat.h>

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
    const tag_VELAParameter p = readFrom(dir, "[PARA]\ntheta=abc\nphic=12abc\nepsilon=\n");
    EXPECT_EQ(p.theta, 10.0);
    EXPECT_EQ(p.phic, 12.0);
    EXPECT_EQ(p.epsilon, 0.0);  // empty and not derived: unchanged
}

TEST(ParameterFile, values_that_make_no_sense_are_named_and_not_applied)
{
    testsupport::TempDir dir;
    testing::internal::CaptureStderr();
    const tag_VELAParameter p = readFrom(
        dir, "[PARA]\nkappa=1e30\ntau=nan\ndelta=inf\ngamma=-0.5\nphid=-1\ntheta=-3\nepsilon=-2\nphic=0.07\n");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(p.kappa, 20);
    EXPECT_EQ(p.tau, 0.1);
    EXPECT_EQ(p.delta, 0.05);
    EXPECT_EQ(p.gamma, 0.1234567);  // refused values are not rounded either
    EXPECT_EQ(p.phid, 0.1);
    EXPECT_EQ(p.theta, 10.0);
    EXPECT_EQ(p.epsilon, -2.0);  // a logarithm: negative is sound
    EXPECT_EQ(p.phic, 0.07);
    const std::string path = dir.file("velaseg.ini");
    EXPECT_EQ(err,
              "velaseg: parameter file " + path + ": kappa=1e30 is not an integer; kappa keeps 20\n"
              "velaseg: parameter file " + path + ": tau=nan is not a finite number; tau keeps 0.1\n"
              "velaseg: parameter file " + path + ": gamma=-0.5 is negative; gamma keeps 0.123457\n"
              "velaseg: parameter file " + path + ": delta=inf is not a finite number; delta keeps 0.05\n"
              "velaseg: parameter file " + path + ": phid=-1 is negative; phid keeps 0.1\n"
              "velaseg: parameter file " + path + ": theta=-3 is negative; theta keeps 10\n");
}

TEST(ParameterFile, kappa_with_a_fraction_is_refused)
{
    testsupport::TempDir dir;
    testing::internal::CaptureStderr();
    EXPECT_EQ(readFrom(dir, "[PARA]\nkappa=1.9\n").kappa, 20);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("kappa=1.9 is not an integer; kappa keeps 20"),
              std::string::npos);
}

TEST(ParameterFile, directory_fifo_or_device_is_never_read_and_never_blocks)
{
    testsupport::TempDir dir;
    const std::string fifo = dir.file("fifo.ini");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(dir.file("dir.ini"));
    std::filesystem::create_symlink("/dev/zero", dir.file("zero.ini"));
    for (const std::string name : {"fifo.ini", "dir.ini", "zero.ini"}) {
        tag_VELAParameter p = derived();
        testing::internal::CaptureStderr();
        EXPECT_TRUE(readParameterFile(dir.file(name), p)) << name;  // it exists
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, "velaseg: " + dir.file(name) + ": not a regular file; it is not read\n");
        EXPECT_EQ(p.kappa, 20) << name;
        EXPECT_EQ(p.gamma, 0.123457) << name;  // as for a file without keys
    }
}

TEST(ParameterFile, only_whole_lines_of_the_first_megabyte_are_read)
{
    testsupport::TempDir dir;
    // kappa=125 straddles the limit: cut there it would read as kappa=12.
    std::string text = "[PARA]\ntau=0.3\n;";
    text += std::string(velaseg::kMaxProfileBytes - text.size() - 4, 'x') + "\nkappa=125\ntheta=12\n";
    testing::internal::CaptureStderr();
    const tag_VELAParameter p = readFrom(dir, text);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(p.tau, 0.3);
    EXPECT_EQ(p.kappa, 20);
    EXPECT_EQ(p.theta, 10.0);
    EXPECT_EQ(err, "velaseg: " + dir.file("velaseg.ini") +
                       ": larger than 1048576 bytes; only the whole lines of its first 1048576 bytes are read\n");
}

TEST(ParameterSetting, known_keys_with_whole_finite_values_only)
{
    using velaseg::parameterSettingProblem;
    EXPECT_EQ(parameterSettingProblem("kappa=30"), "");
    EXPECT_EQ(parameterSettingProblem("epsilon=-3"), "");
    EXPECT_EQ(parameterSettingProblem("rdelta=0.5"), "");
    EXPECT_EQ(parameterSettingProblem("tau"), "\"tau\" is not KEY=VALUE");
    EXPECT_EQ(parameterSettingProblem("Tau=1").rfind("unknown key \"Tau\"", 0), 0u);
    EXPECT_EQ(parameterSettingProblem("tau=0.1m"), "tau=0.1m is not a number");
    EXPECT_EQ(parameterSettingProblem("tau="), "tau= is not a number");
    EXPECT_EQ(parameterSettingProblem("tau=inf"), "tau=inf is not a finite number");
    EXPECT_EQ(parameterSettingProblem("gamma=-1"), "gamma=-1 is negative");
    EXPECT_EQ(parameterSettingProblem("kappa=2.5"), "kappa=2.5 is not an integer");
    EXPECT_EQ(parameterSettingProblem("kappa=99999999999"), "kappa=99999999999 is out of range");
    EXPECT_EQ(parameterSettingProblem("rmin=0"), "rmin=0 is not positive");
    EXPECT_EQ(parameterSettingProblem("rdelta=1"), "rdelta=1 does not lie between 0 and 1");
}

TEST(ParameterSetting, applies_to_its_own_field_only)
{
    tag_VELAParameter p = derived();
    velaseg::applyParameterSetting("kappa=31", p);
    velaseg::applyParameterSetting("rmax=7.5", p);
    velaseg::applyParameterSetting("epsilon=-1.5", p);
    EXPECT_EQ(p.kappa, 31);
    EXPECT_EQ(p.rmax, 7.5);
    EXPECT_EQ(p.epsilon, -1.5);
    EXPECT_EQ(p.gamma, 0.1234567);
    EXPECT_EQ(p.rmin, 0.01234567);
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
