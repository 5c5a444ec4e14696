#include "storage/file_helpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <sys/stat.h>
#include <thread>

#include "storage_test_support.h"

namespace velmora {
namespace {

using storage_test::exists;
using storage_test::isDirectory;
using storage_test::readFile;
using storage_test::ScratchDir;
using storage_test::writeFile;

struct ParentDirRow {
    const char* name;
    const char* path;
    const char* parent;
};

class ParentDirTest : public testing::TestWithParam<ParentDirRow> {};

TEST_P(ParentDirTest, GivesDirectoryPart) {
    EXPECT_EQ(parentDir(GetParam().path), GetParam().parent);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ParentDirTest,
    testing::Values(ParentDirRow{"Plain", "/a/b", "/a"},
                    ParentDirRow{"TrailingSlash", "/a/b/", "/a"},
                    ParentDirRow{"ManyTrailingSlashes", "/flash/var/pdb/x///", "/flash/var/pdb"},
                    ParentDirRow{"TopLevel", "/a", "/"},
                    ParentDirRow{"BareName", "x", "."},
                    ParentDirRow{"BareNameWithSlash", "x/", "."},
                    ParentDirRow{"Relative", "a/b", "a"},
                    ParentDirRow{"DoubledSeparator", "/a//b", "/a"},
                    ParentDirRow{"Root", "/", "."},
                    ParentDirRow{"OnlySlashes", "///", "."},
                    ParentDirRow{"Empty", "", "."}),
    [](const testing::TestParamInfo<ParentDirRow>& info) { return std::string(info.param.name); });

struct PrefixRow {
    const char* name;
    const char* path;
    const char* prefix;
    bool expected;
};

class HasPrefixTest : public testing::TestWithParam<PrefixRow> {};

TEST_P(HasPrefixTest, ComparesBytes) {
    EXPECT_EQ(hasPrefix(GetParam().path, GetParam().prefix), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HasPrefixTest,
    testing::Values(PrefixRow{"Equal", "/flash", "/flash", true},
                    PrefixRow{"Below", "/flash/var", "/flash", true},
                    PrefixRow{"TextPrefixNotComponent", "/flashX/y", "/flash", true},
                    PrefixRow{"BootImageUnderBoot", "/flash/bootimage", "/flash/boot", true},
                    PrefixRow{"Shorter", "/fla", "/flash", false},
                    PrefixRow{"CaseMatters", "/Flash/a", "/flash", false},
                    PrefixRow{"EmptyPrefix", "/x", "", true}),
    [](const testing::TestParamInfo<PrefixRow>& info) { return std::string(info.param.name); });

TEST(MakeDirsTest, CreatesMissingParentsWithUmaskedMode) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    mode_t old = ::umask(022);
    makeDirs(dir / "a/b/c");
    ::umask(old);
    ASSERT_TRUE(isDirectory(dir / "a/b/c"));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST(MakeDirsTest, LeavesExistingDirectoryAlone) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_EQ(::mkdir((dir / "a").c_str(), 0700), 0);
    writeFile(dir / "a/keep", "x");
    makeDirs(dir / "a");
    struct stat st {};
    ASSERT_EQ(::stat((dir / "a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(readFile(dir / "a/keep"), "x");
}

TEST(MakeDirsTest, GivesUpQuietlyWhereNothingCanBeMade) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    writeFile(dir / "file", "x");
    makeDirs(dir / "file/sub/deeper");
    EXPECT_FALSE(exists(dir / "file/sub"));

    // A path the kernel refuses outright, of very many components, must not
    // take a walk over every parent.
    std::string huge = dir.path();
    for (int i = 0; i < 200000; ++i) {
        huge += "/d";
    }
    auto start = std::chrono::steady_clock::now();
    makeDirs(huge);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

std::string patternBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    }
    return bytes;
}

TEST(CopyFileTest, CopiesContentsAndPermissionBitsAcrossChunks) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string bytes = patternBytes(40000);  // 16384 + 16384 + 7232
    writeFile(dir / "src", bytes);
    ASSERT_EQ(::chmod((dir / "src").c_str(), 0640), 0);
    writeFile(dir / "dst", std::string(50000, 'z'));  // longer old contents are cut

    ASSERT_TRUE(copyFile(dir / "src", dir / "dst", false));
    EXPECT_EQ(readFile(dir / "dst"), bytes);
    EXPECT_EQ(readFile(dir / "src"), bytes);

    ASSERT_TRUE(copyFile(dir / "src", dir / "fresh", false));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(CopyFileTest, RefusesWhatIsNotARegularFile) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("sub", (dir / "link").c_str()), 0);

    EXPECT_FALSE(copyFile(dir / "sub", dir / "out1", false));
    EXPECT_FALSE(copyFile(dir / "link", dir / "out2", false));
    EXPECT_FALSE(copyFile("/dev/null", dir / "out3", false));
    EXPECT_FALSE(copyFile(dir / "missing", dir / "out4", false));
    // Nothing is created for a source that is refused.
    EXPECT_FALSE(exists(dir / "out1"));
    EXPECT_FALSE(exists(dir / "out2"));
    EXPECT_FALSE(exists(dir / "out3"));
    EXPECT_FALSE(exists(dir / "out4"));
}

TEST(UptimeTicksTest, CountsHundredthsOfASecond) {
    std::uint32_t before = uptimeTicks();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::uint32_t elapsed = uptimeTicks() - before;
    EXPECT_GE(elapsed, 25u);
    EXPECT_LE(elapsed, 200u);
}

// The spinner state lives for the whole process and this is the only test
// that turns progress on, so it sees the state fresh.
TEST(CopyFileTest, SpinnerStartsWithBarAndStepsOnlyAfterAFifthOfASecond) {
    static bool ran = false;
    if (ran) {
        GTEST_SKIP() << "the spinner state has already advanced in this process";
    }
    ran = true;
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    writeFile(dir / "src", patternBytes(40000));

    testing::internal::CaptureStdout();
    ASSERT_TRUE(copyFile(dir / "src", dir / "dst1", true));
    std::string first = testing::internal::GetCapturedStdout();
    // Three chunks in well under 20 ticks: only the first step shows.
    EXPECT_EQ(first, "|");

    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    testing::internal::CaptureStdout();
    ASSERT_TRUE(copyFile(dir / "src", dir / "dst2", true));
    std::string second = testing::internal::GetCapturedStdout();
    // The state carries over: one step, with a backspace over the bar.
    EXPECT_EQ(second, "\b/");
}

}  // namespace
}  // namespace velmora
