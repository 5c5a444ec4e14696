#include "storage/file_helpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "storage_test_support.h"

namespace velmora {
namespace {

using namespace storage_test;
namespace fs = std::filesystem;

TEST(FileHelpersTest, PathText) {
    const struct { const char *path, *parent; } parents[] = {
        {"/a/b", "/a"}, {"/flash/var/pdb/x///", "/flash/var/pdb"}, {"/a", "/"}, {"x/", "."}, {"a/b", "a"},
        {"/a//b", "/a"}, {"/", "."}, {"///", "."}, {"", "."}};
    for (const auto& row : parents) EXPECT_EQ(parentDir(row.path), row.parent) << row.path;
    // Bytes, not components: "/flash/bootimage" counts on the boot partition.
    const struct { const char *path, *prefix; bool has; } prefixes[] = {
        {"/flash", "/flash", true}, {"/flash/bootimage", "/flash/boot", true}, {"/fla", "/flash", false},
        {"/Flash/a", "/flash", false}, {"/x", "", true}};
    for (const auto& row : prefixes) EXPECT_EQ(hasPrefix(row.path, row.prefix), row.has) << row.path;
}

TEST(FileHelpersTest, MakeDirsMakesWhatIsMissingAndNothingElse) {
    ScratchDir dir; fs::create_directory(dir / "old"); fs::permissions(dir / "old", fs::perms(0700));
    writeFile(dir / "file", "x"); const mode_t mask = ::umask(022);
    for (const char* path : {"a/b/c", "old", "file/sub/deeper"}) makeDirs(dir / path);
    ::umask(mask);
    EXPECT_EQ(fs::status(dir / "a/b").permissions(), fs::perms(0755)); EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
    EXPECT_EQ(fs::status(dir / "old").permissions(), fs::perms(0700)); EXPECT_FALSE(exists(dir / "file/sub"));
    // A path the kernel refuses outright, of very many components, takes no walk over every parent.
    std::string huge = dir.path(); while (huge.size() < 400000) huge += "/d";
    const auto start = std::chrono::steady_clock::now(); makeDirs(huge);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// Contents across copy chunks (16384 bytes) over longer old ones, and the permission bits; anything but a
// regular file is refused, and nothing is made for it.
TEST(FileHelpersTest, CopyFile) {
    ScratchDir dir; std::string bytes(40000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + i / 251);
    writeFile(dir / "src", bytes); fs::permissions(dir / "src", fs::perms(0640));
    writeFile(dir / "dst", std::string(50000, 'z')); fs::create_directory(dir / "sub");
    fs::create_directory_symlink("sub", dir / "link");
    EXPECT_TRUE(copyFile(dir / "src", dir / "dst", false) && copyFile(dir / "src", dir / "fresh", false));
    EXPECT_TRUE(readFile(dir / "dst") == bytes && readFile(dir / "fresh") == bytes && readFile(dir / "src") == bytes);
    EXPECT_EQ(fs::status(dir / "fresh").permissions(), fs::perms(0640));
    for (const std::string& source : {dir / "sub", dir / "link", std::string("/dev/null"), dir / "missing"}) {
        EXPECT_FALSE(copyFile(source, dir / "out", false)) << source; EXPECT_FALSE(exists(dir / "out"));
    }
}

}  // namespace
}  // namespace velmora
