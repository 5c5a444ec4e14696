#include "storage/file_helpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "storage_test_support.h"

using namespace velmora; using namespace velmora::storage_test; namespace fs = std::filesystem;

TEST(FileHelpersTest, PathText) {
    const struct { const char *path, *parent; } parents[] = {{"/a/b", "/a"}, {"/flash/var/pdb/x///", "/flash/var/pdb"},
        {"/a", "/"}, {"x/", "."}, {"a/b", "a"}, {"/a//b", "/a"}, {"/", "."}, {"///", "."}, {"", "."}};
    for (const auto& row : parents) EXPECT_EQ(parentDir(row.path), row.parent) << row.path;
    // Bytes, not components: "/flash/bootimage" counts on the boot partition.
    const struct { const char *path, *prefix; bool has; } prefixes[] = {{"/flash", "/flash", true},
        {"/flash/bootimage", "/flash/boot", true}, {"/fla", "/flash", false}, {"/Flash/a", "/flash", false},
        {"/x", "", true}};
    for (const auto& row : prefixes) EXPECT_EQ(hasPrefix(row.path, row.prefix), row.has) << row.path;
}

// Only what is missing is made, with the umask's modes; a path the kernel refuses outright, of very many
// components, takes no walk over every parent.
TEST(FileHelpersTest, MakeDirsMakesWhatIsMissingAndNothingElse) {
    ScratchDir dir; fs::create_directory(dir / "old"); fs::permissions(dir / "old", fs::perms(0700));
    writeFile(dir / "file", "x"); const mode_t mask = ::umask(022);
    for (const char* path : {"a/b/c", "old", "file/sub/deeper"}) makeDirs(dir / path);
    ::umask(mask); const auto mode = [&](const char* path) { return fs::status(dir / path).permissions(); };
    EXPECT_TRUE(mode("a/b") == fs::perms(0755) && mode("a/b/c") == mode("a/b") && mode("old") == fs::perms(0700));
    EXPECT_FALSE(exists(dir / "file/sub")); std::string huge = dir.path(); while (huge.size() < 400000) huge += "/d";
    const auto start = std::chrono::steady_clock::now(); makeDirs(huge);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}
