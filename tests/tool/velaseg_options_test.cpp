// The options of velaseg beside pc_file [iter_type]: help, version,
// parameter sources, where options may stand, and how bad ones are refused.
#include <filesystem>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "cli_support.h"
#include "sample_scene.h"

namespace fs = std::filesystem;
using clisupport::runVelaseg;
using clisupport::withoutTimes;
using testsupport::CommandResult;
using testsupport::TempDir;

namespace {

// A house coarse enough for a run of a fraction of a second.
void writeHouse(const std::string& path)
{
    velaseg::SceneOptions options;
    options.spacing = 0.25;
    ASSERT_TRUE(velaseg::writeScenePcd(path, velaseg::makeBuildingScene(options).points));
}

std::string parameterLine(const std::string& out, const std::string& key)
{
    const std::size_t at = out.find("---" + key + ": ");
    return at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
}

}  // namespace

TEST(VelasegOptions, help_prints_the_usage_lines_then_the_options_and_exit_codes)
{
    TempDir dir;
    for (const std::string flag : {"--help", "-h", "scan.las --help"}) {
        const CommandResult r = runVelaseg(dir, flag);
        EXPECT_EQ(r.exitCode, 0) << flag;
        EXPECT_EQ(r.out.rfind("usage:   exe   pc_file   (iter_type)\n", 0), 0u) << flag;
        for (const char* option : {"--no-viewer", "--config FILE", "--set KEY=VALUE", "--labels FILE",
                                   "--planes FILE", "--progress", "--version", "Exit status:", "  3  "})
            EXPECT_NE(r.out.find(option), std::string::npos) << option;
        EXPECT_EQ(r.err, "");
    }
    const CommandResult version = runVelaseg(dir, "--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("velaseg ", 0), 0u);
}

TEST(VelasegOptions, bad_options_are_refused_in_one_line_with_2)
{
    TempDir dir;
    writeHouse(dir.file("house.pcd"));
    const std::pair<std::string, std::string> cases[] = {
        {"house.pcd --bogus", "velaseg: The following argument was not expected: --bogus (see velaseg --help)\n"},
        {"--no-viewer", "velaseg: no pc_file given (see velaseg --help)\n"},
        {"house.pcd --set tau=nan", "velaseg: --set tau=nan is not a finite number (see velaseg --help)\n"},
        {"house.pcd --set kappa=1e3", "velaseg: --set kappa=1e3 is not an integer (see velaseg --help)\n"},
        {"house.pcd --set delta=-1", "velaseg: --set delta=-1 is negative (see velaseg --help)\n"},
        {"house.pcd --labels out.doc",
         "velaseg: --labels out.doc: the name must end in .las, .pcd, .ply, .csv or .txt (see velaseg --help)\n"},
        {"house.pcd --planes out.txt", "velaseg: --planes out.txt: the name must end in .csv or .json (see velaseg --help)\n"},
        {"house.pcd --labels house.pcd", "velaseg: --labels house.pcd is the input file; nothing is segmented\n"},
        {"house.pcd --planes house_seg_VELA.xyz.csv --labels house_seg_VELA.xyz.csv",
         "velaseg: --labels and --planes name the same file house_seg_VELA.xyz.csv; nothing is segmented\n"},
        {"house.pcd --config absent.ini", "velaseg: --config absent.ini: No such file or directory\n"},
    };
    const std::string before = testsupport::readFile(dir.file("house.pcd"));
    for (const auto& [args, line] : cases) {
        const CommandResult r = runVelaseg(dir, args);
        EXPECT_EQ(r.exitCode, 2) << args;
        EXPECT_EQ(r.err, line) << args;
        EXPECT_EQ(r.out, "") << args;
    }
    EXPECT_EQ(testsupport::readFile(dir.file("house.pcd")), before);
    EXPECT_FALSE(fs::exists(dir.file("house_seg_VELA.xyz")));
}

TEST(VelasegOptions, config_fifo_is_refused_without_waiting_for_a_writer)
{
    TempDir dir;
    writeHouse(dir.file("house.pcd"));
    ASSERT_EQ(mkfifo(dir.file("fifo.ini").c_str(), 0600), 0);
    const CommandResult r = runVelaseg(dir, "house.pcd --config fifo.ini");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "velaseg: --config fifo.ini: not a regular file\n");
}

TEST(VelasegOptions, options_stand_anywhere_and_change_no_line_of_standard_output)
{
    TempDir dir;
    writeHouse(dir.file("house.pcd"));
    const CommandResult plain = runVelaseg(dir, "house.pcd 1");
    const std::string result = testsupport::readFile(dir.file("house_seg_VELA.xyz"));
    const CommandResult before = runVelaseg(dir, "--no-viewer --planes p.csv house.pcd 1");
    const CommandResult after = runVelaseg(dir, "house.pcd --labels l.csv 1 ignored --no-viewer");
    const CommandResult marked = runVelaseg(dir, "--no-viewer -- house.pcd 1");
    for (const CommandResult* r : {&plain, &before, &after, &marked}) {
        EXPECT_EQ(r->exitCode, 0) << r->err;
        EXPECT_EQ(withoutTimes(r->out), withoutTimes(plain.out));
    }
    EXPECT_EQ(testsupport::readFile(dir.file("house_seg_VELA.xyz")), result);
    // -- ends the options: what follows is a file name, however it looks.
    const CommandResult dashed = runVelaseg(dir, "-- --no-viewer.pcd");
    EXPECT_EQ(dashed.exitCode, 2);
    EXPECT_EQ(dashed.err, "velaseg: --no-viewer.pcd: no such file; nothing is segmented\n");
}

TEST(VelasegOptions, config_file_then_settings_then_iter_type)
{
    TempDir dir;
    writeHouse(dir.file("house.pcd"));
    testsupport::writeFile(dir.file("mine.ini"), "[PARA]\nkappa=50\ntau=0.2\ntheta=-5\n");
    const CommandResult r = runVelaseg(dir, "house.pcd --config mine.ini --set kappa=40 --set rmin=0.5 --set gamma=0.6");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.find("no configuration file loaded"), std::string::npos);
    EXPECT_EQ(parameterLine(r.out, "kappa"), "---kappa: 40 ");  // the setting wins over the file
    EXPECT_EQ(parameterLine(r.out, "tau"), "---tau: 0.2 ");
    EXPECT_EQ(parameterLine(r.out, "rmin"), "---rmin: 0.5 ");
    EXPECT_EQ(parameterLine(r.out, "gamma"), "---gamma: 0.6 ");
    EXPECT_EQ(parameterLine(r.out, "theta"), "---theta: 10 ");
    EXPECT_NE(r.err.find("velaseg: parameter file mine.ini: theta=-5 is negative; theta keeps 10\n"), std::string::npos)
        << r.err;
}

TEST(VelasegOptions, progress_goes_to_standard_error_only_when_asked_or_on_a_terminal)
{
    TempDir dir;
    writeHouse(dir.file("house.pcd"));
    const CommandResult quiet = runVelaseg(dir, "house.pcd --no-viewer");
    const CommandResult shown = runVelaseg(dir, "house.pcd --no-viewer --progress");
    EXPECT_EQ(quiet.err.find("velaseg: multi-scale"), std::string::npos) << "standard error is no terminal here";
    EXPECT_EQ(withoutTimes(shown.out), withoutTimes(quiet.out));
    const std::size_t first = shown.err.find("velaseg: multi-scale supervoxels, ");
    const std::size_t level = shown.err.find("velaseg: multi-scale supervoxels, level 1, ");
    const std::size_t generation = shown.err.find("velaseg: RPS generation, ");
    const std::size_t merging = shown.err.find("velaseg: segment merging, ");
    EXPECT_NE(first, std::string::npos) << shown.err;
    EXPECT_LT(first, level);
    EXPECT_LT(level, generation);
    EXPECT_LT(generation, merging);
    EXPECT_NE(merging, std::string::npos);
}
