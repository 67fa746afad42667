#include <filesystem>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "atomic_file.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using velaseg::AtomicFile;

namespace {

std::size_t entriesIn(const fs::path& dir)
{
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

}  // namespace

TEST(AtomicFile, commit_replaces_the_target_and_keeps_its_mode)
{
    testsupport::TempDir dir;
    const std::string target = dir.file("out.txt");
    testsupport::writeFile(target, "old");
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    {
        AtomicFile out(target);
        EXPECT_TRUE(out.write("new "));
        EXPECT_TRUE(out.write(std::string(3 << 20, 'x')));  // several buffers
        EXPECT_TRUE(out.overwrite(0, "NEW", 3));
        EXPECT_EQ(testsupport::readFile(target), "old");  // not before the commit
        EXPECT_TRUE(out.commit());
    }
    const std::string text = testsupport::readFile(target);
    EXPECT_EQ(text.size(), 4u + (3u << 20));
    EXPECT_EQ(text.substr(0, 5), "NEW x");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms(0640));
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(AtomicFile, abandoned_file_leaves_the_target_and_no_temporary)
{
    testsupport::TempDir dir;
    const std::string target = dir.file("out.txt");
    testsupport::writeFile(target, "old");
    {
        AtomicFile out(target);
        out.write("half a result");
    }
    EXPECT_EQ(testsupport::readFile(target), "old");
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(AtomicFile, failures_name_their_cause_and_touch_nothing)
{
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("plain"), "a file, not a folder");
    AtomicFile underFile(dir.file("plain/out.txt"));
    EXPECT_FALSE(underFile.write("x"));
    EXPECT_FALSE(underFile.commit());
    EXPECT_EQ(underFile.error(), "Not a directory");

    fs::create_directory(dir.file("folder"));
    AtomicFile ontoFolder(dir.file("folder"));  // rename cannot replace a folder
    EXPECT_TRUE(ontoFolder.write("x"));
    EXPECT_FALSE(ontoFolder.commit());
    EXPECT_EQ(ontoFolder.error(), "Is a directory");
    EXPECT_TRUE(fs::is_directory(dir.file("folder")));
}
