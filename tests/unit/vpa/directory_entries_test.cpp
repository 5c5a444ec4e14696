#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "directory_entries.h"

namespace velmora {
namespace {

class DirectoryEntriesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/vpa-tree-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        root = name;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    void writeFile(const std::string& relative, const std::string& content, mode_t mode) {
        std::ofstream(root + relative, std::ios::binary) << content;
        ASSERT_EQ(::chmod((root + relative).c_str(), mode), 0);
    }

    std::string root;
};

TEST_F(DirectoryEntriesTest, PacksFilesAndLinksDepthFirstInNameOrder) {
    ASSERT_EQ(::mkdir((root + "/bin").c_str(), 0750), 0);
    ASSERT_EQ(::chmod((root + "/bin").c_str(), 0750), 0);  // whatever the umask
    writeFile("/bin/tool", "#!/bin/sh\n", 04755);
    writeFile("/bin.txt", "", 0600);
    writeFile("/a", "first", 0644);
    ASSERT_EQ(::symlink("bin/tool", (root + "/link").c_str()), 0);

    std::string error;
    auto entries = collectDirectoryEntries(root + "/", error);
    ASSERT_TRUE(entries.has_value()) << error;
    // Directories are no entries: the installer makes them itself.
    ASSERT_EQ(entries->size(), 4u);
    const struct {
        const char* path;
        std::uint16_t mode;
        const char* content;
    } expected[] = {
        {"/a", 0100644, "first"}, {"/bin/tool", 0104755, "#!/bin/sh\n"},
        {"/bin.txt", 0100600, ""}, {"/link", 0120777, "bin/tool"},
    };
    for (std::size_t i = 0; i < entries->size(); ++i) {
        SCOPED_TRACE(expected[i].path);
        EXPECT_EQ((*entries)[i].path, expected[i].path);
        EXPECT_EQ((*entries)[i].mode, expected[i].mode);
        EXPECT_EQ((*entries)[i].content, expected[i].content);
        EXPECT_EQ((*entries)[i].processorGroup, 0);
    }
}

TEST_F(DirectoryEntriesTest, RefusesWhatTheArchiveCannotCarry) {
    ASSERT_EQ(::mkfifo((root + "/pipe").c_str(), 0644), 0);
    std::string error;
    EXPECT_FALSE(collectDirectoryEntries(root, error).has_value());
    EXPECT_NE(error.find("/pipe: not a regular file, directory or symbolic link"), std::string::npos) << error;

    error.clear();
    EXPECT_FALSE(collectDirectoryEntries(root + "/missing", error).has_value());
    EXPECT_NE(error.find("missing: No such file or directory"), std::string::npos) << error;

    EXPECT_FALSE(collectDirectoryEntries(root + "/pipe", error).has_value());
    EXPECT_NE(error.find("not a directory"), std::string::npos) << error;
}

}  // namespace
}  // namespace velmora
