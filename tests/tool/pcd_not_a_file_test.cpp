// velaseg given a PCD name that is no regular file: the run must end, with
// the refusal on standard error, instead of waiting on a reader forever.
// (set_points refuses such a name on its own too: PcdInput tests.)
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
