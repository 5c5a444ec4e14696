// An upgrade run on a flash that fills up at every point of the run: the
// flash is a tmpfs of its own, the installed system is put there by the
// installer itself, and a filler file then leaves exactly N free blocks,
// for N from none at all to more than the upgrade needs. Whatever N, the
// run either carries out the whole upgrade, or says why it did not and
// leaves the flash, the database and every installed file as they were,
// without a temporary file anywhere.
//
// Every block count is tried, from 0 up to a few past the first success:
// about two seconds here (eight under the sanitizers), so CI runs the full
// sweep. FULL_FLASH_STEP=n tries only every n-th count, for a quicker look.

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "e2e/fault_support.h"

namespace velmora {
namespace {

constexpr unsigned long kFlashBytes = 1024 * 1024;
constexpr unsigned long kRamBytes = 16 * 1024 * 1024;
constexpr const char* kFiller = "flash/filler";
// Sizes past the first success that must succeed too.
constexpr unsigned kSuccessesToEnd = 3;

enum class Outcome { Upgraded, NoSpaceForUpgrade, DiskTooSmall, Other };

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Upgraded: return "upgraded";
    case Outcome::NoSpaceForUpgrade: return "exit 28";
    case Outcome::DiskTooSmall: return "disk is too small";
    case Outcome::Other: break;
    }
    return "other";
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> flashTemporaries(const TreeSnapshot& tree) {
    std::vector<std::string> found;
    for (const std::string& path : temporaryFiles(tree)) {
        if (path.rfind("ram/", 0) != 0) found.push_back(path);
    }
    return found;
}

class FullFlash : public TmpfsFlashTest {
protected:
    void SetUp() override {
        InstallTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        mountFlashAndRam(kFlashBytes, kRamBytes);
    }

    // Leaves exactly `blocks` free blocks on the flash.
    void fillLeaving(std::uint64_t blocks) {
        const std::string flash = box.hostPath("flash");
        const std::uint64_t free = freeBlocksAt(flash);
        ASSERT_GE(free, blocks) << "the flash is too small for the sweep";
        ASSERT_TRUE(box.writeFile(kFiller, std::string((free - blocks) * blockSizeAt(flash), 'f')));
        ASSERT_EQ(freeBlocksAt(flash), blocks);
    }
};

TEST_F(FullFlash, EveryFreeBlockCountUpgradesFullyOrChangesNothing) {
    const UpgradeScenario scenario = upgradeScenario(6000, 300);
    const unsigned long step = envNumber("FULL_FLASH_STEP", 1);

    // The installed system, installed by an upgrade run on the empty flash.
    for (const UploadedFile& file : scenario.installed) upload(file.name, file.image);
    RunResult install = upgradeRun();
    ASSERT_EQ(install.exitStatus, 0) << install.out << install.err;
    ASSERT_TRUE(box.removeAll("flash/rw/pckg/ntp-6.1.vpa"));  // webui's went into the database
    ASSERT_EQ(temporaryFiles(box.snapshot()), std::vector<std::string>{});
    saveFlash();
    ASSERT_FALSE(HasFatalFailure());

    // What a complete upgrade leaves, with all the room it wants.
    restore(scenario.uploads);
    RunResult full = upgradeRun();
    ASSERT_EQ(full.exitStatus, 0) << full.out << full.err;
    ASSERT_FALSE(contains(full.out, "ERROR")) << full.out;
    ASSERT_EQ(box.readFile("flash/var/pdb/dns/version"), std::to_string(ver("1.0")) + " 1300000000\n");
    // A commit copies what was staged in /ram across to the flash and
    // leaves the staged copy there (the volatile /ram is emptied by the
    // next restart): only those may stay behind.
    const TreeSnapshot upgraded = withoutTemporaries(box.snapshot());
    ASSERT_EQ(flashTemporaries(box.snapshot()), std::vector<std::string>{});

    std::map<Outcome, std::vector<std::uint64_t>> seen;
    unsigned successesInARow = 0;
    const std::uint64_t limit = kFlashBytes / blockSizeAt(box.hostPath("flash"));
    for (std::uint64_t blocks = 0; successesInARow < kSuccessesToEnd; blocks += step) {
        ASSERT_LT(blocks, limit) << "no block count let the upgrade through";
        SCOPED_TRACE("free blocks: " + std::to_string(blocks));
        restore(scenario.uploads);
        fillLeaving(blocks);
        if (HasFatalFailure()) return;
        const TreeSnapshot before = box.snapshot();

        RunResult run = upgradeRun();

        const TreeSnapshot after = box.snapshot();
        ASSERT_FALSE(run.timedOut);
        ASSERT_EQ(run.signal, 0) << run.out << run.err;
        Outcome outcome = Outcome::Other;
        if (run.exitStatus == 0 && !contains(run.out, "ERROR")) {
            outcome = Outcome::Upgraded;
        } else if (run.exitStatus == 28 && contains(run.out, "ERROR: not enough space for upgrade\n")) {
            outcome = Outcome::NoSpaceForUpgrade;
        } else if (run.exitStatus == 0 && contains(run.out, "failed: disk is too small\n")) {
            outcome = Outcome::DiskTooSmall;
        }
        seen[outcome].push_back(blocks);
        successesInARow = outcome == Outcome::Upgraded ? successesInARow + 1 : 0;

        EXPECT_NE(outcome, Outcome::Other) << "exit " << run.exitStatus << "\n" << run.out << run.err;
        EXPECT_EQ(run.err, "");
        if (outcome == Outcome::Upgraded) {
            EXPECT_EQ(flashTemporaries(after), std::vector<std::string>{});
            EXPECT_EQ(changesBesides(upgraded, withoutTemporaries(after), {"flash/postlog", kFiller}), "")
                << run.out;
        } else {
            EXPECT_EQ(temporaryFiles(after), std::vector<std::string>{});
            EXPECT_EQ(changesBesides(before, after, {"flash/postlog"}), "") << run.out;
        }
    }

    std::string summary;
    for (const auto& [outcome, counts] : seen) {
        summary += std::string(outcomeName(outcome)) + ":";
        for (std::uint64_t count : counts) summary += " " + std::to_string(count);
        summary += "\n";
    }
    // The sweep went through each way the run can end on a full flash: the
    // database file that outgrows its staging room, the space check, and
    // success.
    EXPECT_FALSE(seen[Outcome::DiskTooSmall].empty()) << summary;
    EXPECT_FALSE(seen[Outcome::NoSpaceForUpgrade].empty()) << summary;
    RecordProperty("outcomes", summary);
    std::printf("%s", summary.c_str());
}

}  // namespace
}  // namespace velmora
