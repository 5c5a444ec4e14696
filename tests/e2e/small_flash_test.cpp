// An upgrade run on a flash that is really small: a tmpfs of 512 KiB mounted
// at the sandbox's flash/. A package too big for what is left must stop the
// run with status 28 before anything on the flash changes, wherever its
// unpacked files were staged; one that fits installs as usual.

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "e2e/fault_support.h"

namespace velmora {
namespace {

// 128 tmpfs blocks of 4096 bytes.
constexpr unsigned long kFlashBytes = 512 * 1024;

struct SmallFlashRow {
    const char* name;
    std::size_t contentSize;
    int exitStatus;
};

void PrintTo(const SmallFlashRow& row, std::ostream* out) { *out << row.name; }

// Blocks in use before the space check: the upload, one for the reserved
// postlog, small database files; the rule keeps 16 blocks in reserve.
const SmallFlashRow kRows[] = {
    // 4 blocks of content: plenty left.
    {"Fits", 16 * 1024, 0},
    // Leaves room for the content plus a tenth, so it is staged in a
    // temporary file beside its target on the flash itself: its blocks are
    // taken already, and renaming it into place takes no more.
    {"StagedOnTheFlash", 150 * 1024, 0},
    // More than what is left: staged in /ram, and moving it onto the flash
    // would overdraw it.
    {"StagedInRam", 300 * 1024, 28},
};

class SmallFlash : public InstallTest, public ::testing::WithParamInterface<SmallFlashRow> {
protected:
    void SetUp() override {
        InstallTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
        const std::string flash = box.hostPath("flash");
        const std::string options = "size=" + std::to_string(kFlashBytes) + ",mode=0755";
        if (::mount("tmpfs", flash.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs at " << flash << ": " << std::strerror(errno);
        }
        mounted_ = flash;
        // The mount hides what the sandbox laid out under flash/.
        ASSERT_TRUE(box.makeDirs("flash/var/pdb"));
        ASSERT_TRUE(box.makeDirs("flash/boot"));
        ASSERT_TRUE(box.makeDirs("flash/rw/pckg"));
    }

    void TearDown() override {
        if (!mounted_.empty() && ::umount(mounted_.c_str()) != 0) {
            ::umount2(mounted_.c_str(), MNT_DETACH);
        }
    }

    std::string mounted_;
};

TEST_P(SmallFlash, UpgradeRunChecksSpaceBeforeItChangesTheFlash) {
    const SmallFlashRow& row = GetParam();
    const std::string content = incompressible(row.contentSize, 0x2545F491u);
    const std::string image = makePackage(packageRecipe("big", "1.0", {regularFile("/bin/blob", content)}));
    upload("big.vpa", image);
    const TreeSnapshot before = box.snapshot();

    RunResult run = upgradeRun();

    ASSERT_EQ(run.exitStatus, row.exitStatus) << run.out << run.err;
    EXPECT_EQ(read("flash/rw/pckg/big.vpa"), image) << "the upload stays in either case";
    EXPECT_EQ(temporaryFiles(box.snapshot()), std::vector<std::string>{});
    if (row.exitStatus == 0) {
        EXPECT_EQ(postlog(), "installed big-1.0\n");
        EXPECT_EQ(read("flash/bin/blob"), content);
        EXPECT_EQ(db("big", "files"), "bin/blob\n");
        EXPECT_TRUE(box.exists("flash/PCKGS_CHANGED"));
        return;
    }
    // The package itself was read and reported before the check refused the
    // whole change set.
    const std::string messages = "installed big-1.0\nERROR: not enough space for upgrade\n";
    ASSERT_GE(run.out.size(), messages.size());
    EXPECT_EQ(run.out.substr(run.out.size() - messages.size()), messages);
    EXPECT_EQ(postlog(), messages);
    expectUnchanged(before, {"flash/postlog"});
}

INSTANTIATE_TEST_SUITE_P(Rows, SmallFlash, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora
