// An upgrade on a flash (tmpfs) that fills up: with N free blocks, for every N from 0 to past the first
// success, the run either upgrades fully or says why not and changes nothing. FULL_FLASH_STEP=n tries every
// n-th count only, for a quick look.

#include <gtest/gtest.h>

#include <map>

#include "e2e/fault_support.h"

namespace velmora {
namespace {

constexpr unsigned long kFlashBytes = 1 << 20;
constexpr const char* kFiller = "flash/filler";

std::vector<std::string> flashTemporaries(const TreeSnapshot& tree) {
    std::vector<std::string> found = temporaryFiles(tree);
    std::erase_if(found, [](const std::string& path) { return under(path, "ram"); });
    return found;
}

class FullFlash : public TmpfsFlashTest {
protected:
    void SetUp() override { mountFlashAndRam(kFlashBytes, 16 << 20); }
};

TEST_F(FullFlash, EveryFreeBlockCountUpgradesFullyOrChangesNothing) {
    const UpgradeScenario scenario = upgradeScenario(6000, 300);
    const unsigned long step = envNumber("FULL_FLASH_STEP", 1);
    installAndSave(scenario);
    ASSERT_FALSE(HasFatalFailure());

    // With all the room it wants. A commit leaves the staged copies in /ram (emptied at the next restart).
    restore(scenario.uploads);
    const RunResult full = upgradeRun();
    ASSERT_EQ(full.exitStatus, 0) << full.out << full.err;
    ASSERT_EQ(full.out.find("ERROR"), std::string::npos) << full.out;
    ASSERT_EQ(box.readFile("flash/var/pdb/dns/version"), std::to_string(ver("1.0")) + " 1300000000\n");
    ASSERT_EQ(flashTemporaries(box.snapshot()), std::vector<std::string>{});
    const TreeSnapshot upgraded = withoutTemporaries(box.snapshot());

    const std::string flash = box.hostPath("flash");
    const std::uint64_t blockSize = fsInfo(flash).f_bsize;
    std::map<std::string, std::string> seen;  // how it ended -> the block counts
    for (std::uint64_t blocks = 0, successes = 0; successes < 3; blocks += step) {
        ASSERT_LT(blocks, kFlashBytes / blockSize) << "no block count let the upgrade through";
        SCOPED_TRACE("free blocks: " + std::to_string(blocks));
        restore(scenario.uploads);
        const std::uint64_t free = freeBlocksAt(flash);
        ASSERT_GE(free, blocks);
        ASSERT_TRUE(box.writeFile(kFiller, std::string((free - blocks) * blockSize, 'f')));
        ASSERT_EQ(freeBlocksAt(flash), blocks);
        const TreeSnapshot before = box.snapshot();

        const RunResult run = upgradeRun();

        const TreeSnapshot after = box.snapshot();
        ASSERT_FALSE(run.timedOut);
        ASSERT_EQ(run.signal, 0) << run.out << run.err;
        EXPECT_EQ(run.err, "");
        const bool error = run.out.find("ERROR") != std::string::npos;
        std::string outcome = "other";
        if (run.exitStatus == 0 && !error) outcome = "upgraded";
        if (run.exitStatus == 28 && run.out.find("ERROR: not enough space for upgrade\n") != std::string::npos) {
            outcome = "exit 28";
        }
        if (run.exitStatus == 0 && run.out.find("failed: disk is too small\n") != std::string::npos) {
            outcome = "disk is too small";
        }
        seen[outcome] += " " + std::to_string(blocks);
        successes = outcome == "upgraded" ? successes + 1 : 0;
        EXPECT_NE(outcome, "other") << "exit " << run.exitStatus << "\n" << run.out << run.err;
        if (outcome == "upgraded") {
            EXPECT_EQ(flashTemporaries(after), std::vector<std::string>{});
            EXPECT_EQ(changesBesides(upgraded, withoutTemporaries(after), {"flash/postlog", kFiller}), "") << run.out;
        } else {
            EXPECT_EQ(temporaryFiles(after), std::vector<std::string>{});
            EXPECT_EQ(changesBesides(before, after, {"flash/postlog"}), "") << run.out;
        }
    }
    std::string summary;
    for (const auto& [outcome, counts] : seen) summary += outcome + ":" + counts + "\n";
    std::printf("%s", summary.c_str());
    // Each way a run ends on a full flash was reached: the database file outgrowing its room, the space check.
    EXPECT_TRUE(seen.count("disk is too small") && seen.count("exit 28")) << summary;
}

// A 512 KiB flash (128 blocks, 16 kept in reserve): a package too big for what is left stops the run with 28
// before the flash changes, wherever its files were staged.
struct SmallFlashRow {
    const char* name;
    std::size_t contentSize;
    int exitStatus;
};

class SmallFlash : public TmpfsFlashTest, public ::testing::WithParamInterface<SmallFlashRow> {
protected:
    void SetUp() override { mountFlashAndRam(512 << 10, 16 << 20); }
};

const SmallFlashRow kSmallRows[] = {
    {"Fits", 16 << 10, 0},
    {"StagedOnTheFlash", 150 << 10, 0},  // room for it and a tenth: staged beside its target
    {"StagedInRam", 300 << 10, 28},      // moving it onto the flash would overdraw it
};

TEST_P(SmallFlash, UpgradeRunChecksSpaceBeforeItChangesTheFlash) {
    const SmallFlashRow& row = GetParam();
    const std::string content = incompressible(row.contentSize, 0x2545F491u);
    const std::string image = makePackage(packageRecipe("big", "1.0", {regularFile("/bin/blob", content)}));
    upload("big.vpa", image);
    const TreeSnapshot before = box.snapshot();

    const RunResult run = upgradeRun();

    ASSERT_EQ(run.exitStatus, row.exitStatus) << run.out << run.err;
    EXPECT_EQ(read("flash/rw/pckg/big.vpa"), image);
    EXPECT_EQ(temporaryFiles(box.snapshot()), std::vector<std::string>{});
    if (row.exitStatus == 0) {
        EXPECT_EQ(postlog(), "installed big-1.0\n");
        EXPECT_EQ(read("flash/bin/blob"), content);
        EXPECT_EQ(db("big", "files"), "bin/blob\n");
        EXPECT_TRUE(box.exists("flash/PCKGS_CHANGED"));
        return;
    }
    // The package was read and reported before the check refused the whole change set.
    const std::string messages = "installed big-1.0\nERROR: not enough space for upgrade\n";
    ASSERT_GE(run.out.size(), messages.size());
    EXPECT_EQ(run.out.substr(run.out.size() - messages.size()), messages);
    EXPECT_EQ(postlog(), messages);
    expectUnchanged(before, {"flash/postlog"});
}

INSTANTIATE_TEST_SUITE_P(Rows, SmallFlash, ::testing::ValuesIn(kSmallRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora
