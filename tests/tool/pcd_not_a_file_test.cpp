// velaseg given a PCD name that is no regular file, or a malformed PCD file:
// the run must end with one refusal line on standard error, instead of
// waiting on a reader forever or crashing inside it. (set_points refuses
// such files on its own too: PcdInput tests.)
#include <filesystem>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/test_support.h"

namespace {

testsupport::CommandResult runBounded(const testsupport::TempDir& dir, const std::string& input)
{
    // `timeout` turns a hang into exit status 124 instead of a stuck suite.
    return testsupport::runCommand("cd '" + dir.path().string() + "' && env -u DISPLAY timeout 60 '" +
                                       std::string(VELASEG_BINARY_DIR) + "/velaseg' " + input,
                                   dir);
}

}  // namespace

TEST(VelasegPcdInput, directory_fifo_or_endless_device_named_pcd_ends_the_run_with_a_refusal)
{
    testsupport::TempDir dir;
    std::filesystem::create_directory(dir.file("scan.pcd"));
    ASSERT_EQ(mkfifo(dir.file("pipe.pcd").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", dir.file("zero.pcd"));
    for (const char* name : {"scan.pcd", "pipe.pcd", "zero.pcd"}) {
        const testsupport::CommandResult r = runBounded(dir, name);
        EXPECT_NE(r.exitCode, 124) << name << " was still being read after a minute";
        EXPECT_NE(r.err.find(std::string(name) + ": not a regular file"), std::string::npos) << r.err;
    }
}

TEST(VelasegPcdInput, malformed_pcd_ends_the_run_with_one_line_naming_the_problem)
{
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("bad.pcd"), "FIELDS x y z\nSIZE -1 4 4\nTYPE F F F\nPOINTS 1\nDATA ascii\n1 2 3\n");
    const testsupport::CommandResult r = runBounded(dir, "bad.pcd");
    EXPECT_EQ(r.err, "set_points: bad.pcd: header line 2: SIZE '-1' of field 'x' is not 1, 2, 4 or 8; no points read\n");
    EXPECT_NE(r.exitCode, 0);
}
