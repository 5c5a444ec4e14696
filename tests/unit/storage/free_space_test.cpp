#include "storage/free_space.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "storage/change_set.h"
#include "storage_test_support.h"

namespace velmora {
namespace {

using storage_test::ScratchDir;
using storage_test::writeFile;

constexpr std::size_t kBlock = 4096;  // tmpfs block size on this host

// A scratch "/flash" and "/flash/boot" of the given sizes, plus a roomy
// "/ram" on a third file system for sources from elsewhere.
class FreeSpaceTest : public testing::Test {
protected:
    void mountAll(unsigned flashBlocks, unsigned bootBlocks) {
        ASSERT_TRUE(dir.ok());
        std::string why = dir.mountTmpfs("flash", flashBlocks * kBlock);
        if (why.empty()) {
            why = dir.mountTmpfs("flash/boot", bootBlocks * kBlock);
        }
        if (why.empty()) {
            why = dir.mountTmpfs("ram", 16 << 20);
        }
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        ASSERT_EQ(openAccount(flash()).blockSize, kBlock) << "unexpected tmpfs block size";
    }

    // mountAll ends only itself when it skips or fails.
    static bool stopped() { return IsSkipped() || HasFatalFailure(); }

    std::string flash() const { return dir / "flash"; }
    std::string boot() const { return dir / "flash/boot"; }
    bool fits() const { return checkSpaceAt(changes, flash(), boot()); }

    // A file of whole blocks plus extra bytes.
    std::string file(const std::string& relative, std::size_t blocks, std::size_t extra = 0) {
        std::string path = dir / relative;
        writeFile(path, std::string(blocks * kBlock + extra, 'b'));
        return path;
    }

    ScratchDir dir;
    ChangeSet changes;
};

TEST_F(FreeSpaceTest, AccountReadsTheMountAndFallsBackWhenItCannot) {
    mountAll(40, 20);
    if (stopped()) {
        return;
    }
    SpaceAccount account = openAccount(flash());
    EXPECT_EQ(account.path, flash());
    EXPECT_EQ(account.freeBlocks, 40);

    SpaceAccount missing = openAccount(dir / "absent");
    EXPECT_EQ(missing.path, dir / "absent");
    EXPECT_EQ(missing.blockSize, 1u);
    EXPECT_EQ(missing.freeBlocks, 0);
}

struct ReserveRow {
    const char* name;
    unsigned flashBlocks;
    unsigned bootBlocks;
    bool fits;
};

class FreeSpaceReserveTest : public FreeSpaceTest, public testing::WithParamInterface<ReserveRow> {};

TEST_P(FreeSpaceReserveTest, EachAccountKeepsMoreThanSixteenBlocks) {
    mountAll(GetParam().flashBlocks, GetParam().bootBlocks);
    if (stopped()) {
        return;
    }
    scheduleLink(changes, "links-cost-nothing", flash() + "/link");
    EXPECT_EQ(fits(), GetParam().fits);
}

INSTANTIATE_TEST_SUITE_P(Rows, FreeSpaceReserveTest,
                         testing::Values(ReserveRow{"BothSeventeen", 17, 17, true},
                                         ReserveRow{"FlashSixteen", 16, 17, false},
                                         ReserveRow{"BootSixteen", 17, 16, false}),
                         [](const testing::TestParamInfo<ReserveRow>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(FreeSpaceTest, RemovalsOnlyAlwaysFit) {
    mountAll(20, 20);
    if (stopped()) {
        return;
    }
    // Files written now take blocks; removing them gives them back.
    scheduleRemove(changes, file("flash/a", 2));
    scheduleRemove(changes, file("flash/boot/b", 3, 1));
    setOp(changes, flash() + "/never-existed", FileOpKind::Unlink, "");
    setOp(changes, dir / "ram/elsewhere", FileOpKind::Unlink, "");
    EXPECT_TRUE(fits());
}

struct OverdrawRow {
    const char* name;
    std::size_t blocks;
    std::size_t extra;
    bool fits;
};

class FreeSpaceOverdrawTest : public FreeSpaceTest, public testing::WithParamInterface<OverdrawRow> {};

// 64 free blocks on the flash; a new file from /ram takes its blocks.
TEST_P(FreeSpaceOverdrawTest, NewFileTakesItsBlocksRoundedUp) {
    mountAll(64, 20);
    if (stopped()) {
        return;
    }
    scheduleMove(changes, file("ram/new", GetParam().blocks, GetParam().extra), flash() + "/new");
    EXPECT_EQ(fits(), GetParam().fits);
}

INSTANTIATE_TEST_SUITE_P(Rows, FreeSpaceOverdrawTest,
                         testing::Values(OverdrawRow{"LeavesSeventeen", 47, 0, true},
                                         OverdrawRow{"OneByteMoreIsAWholeBlock", 47, 1, false},
                                         OverdrawRow{"LeavesSixteen", 48, 0, false},
                                         OverdrawRow{"Overdrawn", 100, 0, false}),
                         [](const testing::TestParamInfo<OverdrawRow>& info) {
                             return std::string(info.param.name);
                         });

// A file from /ram is copied beside the old one before that goes: both
// need room while the commit runs, though the old one's blocks come back.
TEST_F(FreeSpaceTest, ReplacementFromElsewhereNeedsRoomForBoth) {
    mountAll(40, 20);
    if (stopped()) {
        return;
    }
    std::string target = file("flash/t", 10);  // 30 blocks left
    scheduleMove(changes, file("ram/thirteen", 13), target);
    EXPECT_TRUE(fits());  // 30 - 13 = 17 while both are there
    scheduleMove(changes, file("ram/fourteen", 14), target);
    EXPECT_FALSE(fits());  // 30 - 14 = 16, though 30 - 14 + 10 would do afterwards
}

TEST_F(FreeSpaceTest, ReplacementFromTheSameDeviceCostsNothing) {
    mountAll(40, 20);
    if (stopped()) {
        return;
    }
    std::string target = file("flash/t", 10);
    std::string temporary = file("flash/tmpABCDEF", 12);  // 18 blocks left
    scheduleMove(changes, temporary, target);
    EXPECT_TRUE(fits());  // counted as 18 - 12 + 10 = 16 it would not
}

TEST_F(FreeSpaceTest, StagedFileOnTheFlashIsNotChargedAgain) {
    mountAll(40, 20);
    if (stopped()) {
        return;
    }
    std::string temporary = file("flash/tmpABCDEF", 12);  // 28 blocks left, the file's taken already
    scheduleMove(changes, temporary, flash() + "/fresh");
    EXPECT_TRUE(fits());
}

// Files staged by the archive writer beside their targets are on the flash
// already, below new directories too; a target beside a new directory of a
// similar name ("new" and "newer") is still found.
class FreeSpaceStagedTest : public FreeSpaceTest, public testing::WithParamInterface<std::size_t> {
protected:
    void stage(const std::string& relative, std::size_t bytes) {
        const int fd = createReplacement(changes, dir / relative, static_cast<std::uint32_t>(bytes), 0644);
        ASSERT_GE(fd, 0);
        const std::string data(bytes, 's');
        ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        ASSERT_EQ(::close(fd), 0);
    }
};

TEST_P(FreeSpaceStagedTest, NewDirectoriesCountTheirStagedFiles) {
    mountAll(80, 20);
    if (stopped()) {
        return;
    }
    file("flash/newer", 10);  // 70 blocks left
    stage("flash/new/x/a", 13 * kBlock);
    stage("flash/new/y/b", GetParam());
    stage("flash/newer", 3 * kBlock);  // beside its target: costs nothing more
    // Staging took 13 + b + 3 blocks already; nothing counts twice.
    const std::size_t b = (GetParam() + kBlock - 1) / kBlock;
    EXPECT_EQ(fits(), 70 - (13 + b) - 3 > 16) << b << " blocks";
    cancel(changes);
}

INSTANTIATE_TEST_SUITE_P(Rows, FreeSpaceStagedTest, testing::Values(12 * kBlock + 1, 37 * kBlock + 1, 4 * kBlock));

struct BootRow {
    const char* name;
    const char* target;  // below the scratch directory
    bool fits;
};

class FreeSpaceBootTest : public FreeSpaceTest, public testing::WithParamInterface<BootRow> {};

// 20 free blocks on boot; a 4-block file counts there when its path begins
// with the boot mount's text.
TEST_P(FreeSpaceBootTest, BootAccountCountsByTextPrefix) {
    mountAll(64, 20);
    if (stopped()) {
        return;
    }
    scheduleMove(changes, file("ram/image", 4), dir / GetParam().target);
    EXPECT_EQ(fits(), GetParam().fits);
}

INSTANTIATE_TEST_SUITE_P(Rows, FreeSpaceBootTest,
                         testing::Values(BootRow{"InsideBoot", "flash/boot/kernel", false},
                                         BootRow{"BootImageBesideBoot", "flash/bootimage", false},
                                         BootRow{"ElsewhereOnFlash", "flash/var/image", true},
                                         BootRow{"OutsideBoth", "ram/image2", true}),
                         [](const testing::TestParamInfo<BootRow>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(FreeSpaceTest, FailedStatfsCountsBytesAgainstNothing) {
    mountAll(64, 20);
    if (stopped()) {
        return;
    }
    std::string noBoot = dir / "noboot";
    EXPECT_FALSE(checkSpaceAt(changes, flash(), noBoot));

    // Block size 1: removing a 17-byte file whose path begins with the text
    // of the missing mount point frees 17 "blocks" there.
    writeFile(dir / "nobootfile", std::string(17, 'x'));
    scheduleRemove(changes, dir / "nobootfile");
    EXPECT_TRUE(checkSpaceAt(changes, flash(), noBoot));
}

TEST_F(FreeSpaceTest, HugeFilesPinTheCountInsteadOfWrapping) {
    mountAll(64, 20);
    if (stopped()) {
        return;
    }
    // Sparse files of 3 GB on the scratch directory's own file system,
    // counted against an account of block size 1.
    std::string noBoot = dir / "noboot";
    std::string huge = dir / "noboot-huge";
    writeFile(huge, "");
    ASSERT_EQ(::truncate(huge.c_str(), 3000000000LL), 0);

    ChangeSet release;
    scheduleRemove(release, huge);
    EXPECT_TRUE(checkSpaceAt(release, flash(), noBoot));

    ChangeSet take;
    scheduleMove(take, huge, dir / "noboot-target");
    EXPECT_FALSE(checkSpaceAt(take, flash(), noBoot));
}

}  // namespace
}  // namespace velmora
