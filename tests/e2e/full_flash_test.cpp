// An upgrade on a flash (tmpfs) that fills up: with N free blocks, for every N from 0 to past the first
// success, the run either upgrades fully or says why not and changes nothing. FULL_FLASH_STEP=n tries every
// n-th count only, for a quick look.

#include <gtest/gtest.h>

#include <map>

#include "e2e/install_support.h"

namespace velmora {
namespace {

constexpr unsigned long kFlashBytes = 1 << 20;
constexpr const char* kFiller = "flash/filler";

class FullFlash : public TmpfsFlashTest {
protected:
    void SetUp() override { mountFlashAndRam(kFlashBytes, 16 << 20); }
    // Staged files, the postlog and the filler aside.
    static TreeSnapshot settled(TreeSnapshot tree) {
        return withoutTemporaries(std::move(tree), {"flash/postlog", kFiller});
    }
};

TEST_F(FullFlash, EveryFreeBlockCountUpgradesFullyOrChangesNothing) {
    const UpgradeScenario scenario = upgradeScenario(6000, 300);
    const unsigned long step = envNumber("FULL_FLASH_STEP", 1);
    installAndSave(scenario.installed);
    ASSERT_FALSE(HasFatalFailure());

    // With all the room it wants. A commit leaves the staged copies in /ram (emptied at the next restart).
    restore(scenario.uploads);
    const RunResult full = upgradeRun();
    ASSERT_EQ(full.exitStatus, 0) << full.out << full.err;
    ASSERT_EQ(full.out.find("ERROR"), std::string::npos) << full.out;
    ASSERT_EQ(box.readFile("flash/var/pdb/dns/version"), std::to_string(ver("1.0")) + " 1300000000\n");
    const TreeSnapshot upgraded = settled(box.snapshot());

    const std::string flash = box.hostPath("flash");
    const std::uint64_t blockSize = fsInfo(flash).f_bsize;
    std::map<std::string, std::string> seen;  // how it ended -> the block counts
    for (std::uint64_t blocks = 0, successes = 0; successes < 3; blocks += step) {
        ASSERT_LT(blocks, kFlashBytes / blockSize) << "no block count let the upgrade through";
        SCOPED_TRACE("free blocks: " + std::to_string(blocks));
        restore(scenario.uploads);
        const std::uint64_t free = fsInfo(flash).f_bfree;
        ASSERT_TRUE(free >= blocks && box.writeFile(kFiller, std::string((free - blocks) * blockSize, 'f')));
        ASSERT_EQ(fsInfo(flash).f_bfree, blocks);
        const TreeSnapshot before = box.snapshot();

        const RunResult run = upgradeRun();

        const TreeSnapshot after = box.snapshot();
        EXPECT_EQ(run.err, "");
        const auto said = [&](const char* text) { return run.out.find(text) != std::string::npos; };
        const std::string outcome = run.exitStatus == 0 && !said("ERROR")                               ? "upgraded"
                                    : run.exitStatus == 28 && said("ERROR: not enough space for upgrade\n") ? "exit 28"
                                    : run.exitStatus == 0 && said("failed: disk is too small\n") ? "disk is too small"
                                                                                                 : "other";
        seen[outcome] += " " + std::to_string(blocks);
        successes = outcome == "upgraded" ? successes + 1 : 0;
        EXPECT_NE(outcome, "other") << "exit " << run.exitStatus << "\n" << run.out << run.err;
        if (outcome == "upgraded") {
            for (const std::string& path : temporaryFiles(after)) EXPECT_TRUE(under(path, "ram")) << path;
            EXPECT_EQ(describeChanges(upgraded, settled(after)), "") << run.out;
        } else {
            EXPECT_EQ(temporaryFiles(after), std::vector<std::string>{});
            EXPECT_EQ(describeChanges(settled(before), settled(after)), "") << run.out;
        }
    }
    std::string summary;
    for (const auto& [outcome, counts] : seen) summary += outcome + ":" + counts + "\n";
    std::fputs(summary.c_str(), stdout);
    // Each way a run ends on a full flash was reached: the database file outgrowing its room, the space check.
    EXPECT_TRUE(seen.count("disk is too small") && seen.count("exit 28")) << summary;
}

// A 512 KiB flash (128 blocks, 16 kept in reserve): a package too big to be staged beside its file is staged in
// /ram, and the room its copy to the flash needs is checked before the flash changes.
class SmallFlash : public FullFlash {
protected:
    void SetUp() override { mountFlashAndRam(512 << 10, 16 << 20); }
};

TEST_F(SmallFlash, UpgradeRunChecksSpaceBeforeItChangesTheFlash) {
    installAndSave({});
    restore({{"big.vpa", makePackage(packageRecipe("big", "1.0", {regularFile("/b", incompressible(300 << 10, 7))}))}});
    const TreeSnapshot before = box.snapshot();
    const RunResult run = upgradeRun();
    ASSERT_EQ(run.exitStatus, 28) << run.out << run.err;
    // The package was read and reported before the check refused the whole change set.
    const std::string messages = "installed big-1.0\nERROR: not enough space for upgrade\n";
    EXPECT_TRUE(run.out.ends_with(messages)) << run.out;
    EXPECT_EQ(box.readFile("flash/postlog"), messages);
    EXPECT_EQ(temporaryFiles(box.snapshot()), std::vector<std::string>{});
    EXPECT_EQ(describeChanges(settled(before), settled(box.snapshot())), "");
}

}  // namespace
}  // namespace velmora
