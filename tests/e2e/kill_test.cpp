// A bigger upgrade than the crash sweep's, killed at random moments with its real timing: every file stays old
// or new, and the next run completes the upgrade. Half the delays fall anywhere in a complete run, half in its
// last quarter, where the commit is. KILL_TRIALS (20; 100 for a full run) and KILL_SEED repeat a run.

#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "e2e/install_support.h"
#include "support/process_run.h"

namespace velmora {
namespace {

using Micros = std::chrono::microseconds;

class KilledUpgrade : public TmpfsFlashTest {
protected:
    void SetUp() override { mountFlashAndRam(64 << 20, 64 << 20); }

    // installer -r ROOT as the sandbox runs it (a mount namespace of its own, /proc bound in for sanitizer
    // runtimes), killed after delay unless it ended first (never for 0): its exit status (-1: killed) and
    // how long it took.
    std::pair<int, Micros> runKilledAfter(Micros delay) {
        const auto started = std::chrono::steady_clock::now();
        const int status = runProcess({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
                                       "umask 022; mount --rbind /proc \"$1/proc\" 2>/dev/null; "
                                       "exec timeout -s KILL \"$0\" \"$2\" -r \"$1\"",
                                       std::to_string(delay.count() / 1e6) + "s", box.path(), INSTALLER_BINARY},
                                      saved_.path()).exitStatus;
        return {status, std::chrono::duration_cast<Micros>(std::chrono::steady_clock::now() - started)};
    }
    std::string listing() {
        const RunResult run = box.runInstaller({"-r", box.path(), "--show"});
        return "exit " + std::to_string(run.exitStatus) + "\n" + run.out + run.err;
    }
    // Staged files, commit records and the postlog aside.
    TreeSnapshot settled() const {
        TreeSnapshot tree = withoutTemporaries(box.snapshot(), {"flash/postlog"});
        std::erase_if(tree, [](const auto& entry) { return isCommitRecord(entry.first); });
        return tree;
    }
};

TEST_F(KilledUpgrade, LeavesOldOrNewFilesAndTheNextRunCompletesTheUpgrade) {
    const unsigned long trials = envNumber("KILL_TRIALS", 20), seed = envNumber("KILL_SEED", std::random_device{}());
    std::printf("KILL_SEED=%lu KILL_TRIALS=%lu\n", seed, trials);
    SCOPED_TRACE("KILL_SEED=" + std::to_string(seed));
    const UpgradeScenario scenario = upgradeScenario(1 << 20, 300);
    installAndSave(scenario.installed);
    ASSERT_FALSE(HasFatalFailure());
    const std::string listedBefore = listing();

    // How long a complete run takes (the first pays for fresh pages), and what it leaves.
    std::vector<long long> durations;
    TreeSnapshot upgraded;
    for (int i = 0; i < 7; ++i) {
        restore(scenario.uploads);
        const auto [status, lasted] = runKilledAfter(Micros{0});
        ASSERT_EQ(status, 0);
        ASSERT_EQ(temporaryFiles(box.snapshot()), std::vector<std::string>{});
        if (i > 0) durations.push_back(lasted.count());
        upgraded = settled();
    }
    const std::string listedAfter = listing();
    ASSERT_NE(listedAfter, listedBefore);
    std::sort(durations.begin(), durations.end());
    const long long typical = durations[durations.size() / 2];

    std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
    std::uniform_int_distribution<long long> anywhere(1, typical * 11 / 10);
    std::uniform_int_distribution<long long> nearTheEnd(typical * 3 / 4, typical * 21 / 20);
    for (unsigned long trial = 0; trial < trials && !HasFailure(); ++trial) {
        const Micros delay{trial % 2 == 0 ? anywhere(random) : nearTheEnd(random)};
        SCOPED_TRACE("trial " + std::to_string(trial) + ", killed after " + std::to_string(delay.count()) + " us");
        restore(scenario.uploads);
        const TreeSnapshot start = settled();
        const int status = runKilledAfter(delay).first;
        EXPECT_TRUE(status == -1 || status == 0) << status;
        const TreeSnapshot left = settled();
        EXPECT_EQ(tornPaths(start, left, upgraded, false), std::vector<std::string>{});
        // The catalogue reads as before or as after: staged files beside their targets are not taken for anything.
        if (describeChanges(start, left).empty()) {
            EXPECT_EQ(listing(), listedBefore);
        } else if (describeChanges(upgraded, left).empty()) {
            EXPECT_EQ(listing(), listedAfter);
        }

        const RunResult next = upgradeRun();
        EXPECT_EQ(next.exitStatus, 0) << next.out << next.err;
        EXPECT_EQ(next.out.find("ERROR"), std::string::npos) << next.out;
        EXPECT_EQ(temporaryFiles(box.snapshot()), std::vector<std::string>{});
        EXPECT_EQ(describeChanges(upgraded, settled()), "");
        EXPECT_EQ(listing(), listedAfter);
    }
    std::printf("a run takes %lld us\n", typical);
}

}  // namespace
}  // namespace velmora
