// A bigger upgrade than the crash sweep's, killed at random moments with its real timing: every file stays old
// or new, and the next run completes the upgrade. Half the delays fall anywhere in a complete run, half in its
// last quarter, where the commit is. KILL_TRIALS (20; 100 for a full run) and KILL_SEED repeat a run.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <random>
#include <thread>

#include "e2e/fault_support.h"

extern char** environ;

namespace velmora {
namespace {

using Clock = std::chrono::steady_clock;
using Micros = std::chrono::microseconds;

struct Ended {
    bool killed = false;
    int exitStatus = -1, signal = 0;
    Micros lasted{0};
};

// installer -r ROOT in the background, as the sandbox runs it (own mount namespace, /proc bound in for
// sanitizer runtimes), killed after delay from its start (never when negative) unless it ended first.
Ended runKilledAfter(const SandboxRoot& box, Micros delay) {
    std::string args[] = {"installer", "-r", box.path()};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), nullptr};
    const std::string proc = box.hostPath("proc");
    const auto started = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0), ::dup2(null, 1), ::dup2(null, 2), ::umask(022);
        if (::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
            ::mount("/proc", proc.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
        }
        ::execve(INSTALLER_BINARY, argv, environ);
        ::_exit(127);
    }
    int status = 0;
    bool reaped = false;
    if (delay.count() >= 0) {
        std::this_thread::sleep_until(started + delay);
        if (!(reaped = ::waitpid(pid, &status, WNOHANG) == pid)) ::kill(pid, SIGKILL);
    }
    while (!reaped && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    Ended ended{false, WIFEXITED(status) ? WEXITSTATUS(status) : -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0,
                std::chrono::duration_cast<Micros>(Clock::now() - started)};
    ended.killed = !reaped && delay.count() >= 0 && ended.signal == SIGKILL;
    return ended;
}

class KilledUpgrade : public TmpfsFlashTest {
protected:
    void SetUp() override { mountFlashAndRam(64 << 20, 64 << 20); }

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
    installAndSave(scenario);
    ASSERT_FALSE(HasFatalFailure());
    const std::string listedBefore = listing();

    // How long a complete run takes (the first pays for fresh pages), and what it leaves.
    std::vector<Micros> durations;
    TreeSnapshot upgraded;
    for (int i = 0; i < 7; ++i) {
        restore(scenario.uploads);
        const Ended ended = runKilledAfter(box, Micros{-1});
        ASSERT_EQ(ended.exitStatus, 0);
        ASSERT_EQ(temporaryFiles(box.snapshot()), std::vector<std::string>{});
        if (i > 0) durations.push_back(ended.lasted);
        upgraded = settled();
    }
    const std::string listedAfter = listing();
    ASSERT_NE(listedAfter, listedBefore);
    std::sort(durations.begin(), durations.end());
    const long long typical = durations[durations.size() / 2].count();

    std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
    std::uniform_int_distribution<long long> anywhere(0, typical * 11 / 10);
    std::uniform_int_distribution<long long> nearTheEnd(typical * 3 / 4, typical * 21 / 20);
    for (unsigned long trial = 0; trial < trials && !HasFailure(); ++trial) {
        const Micros delay{trial % 2 == 0 ? anywhere(random) : nearTheEnd(random)};
        SCOPED_TRACE("trial " + std::to_string(trial) + ", killed after " + std::to_string(delay.count()) + " us");
        restore(scenario.uploads);
        const TreeSnapshot start = settled();
        const Ended ended = runKilledAfter(box, delay);
        EXPECT_TRUE(ended.killed || (ended.exitStatus == 0 && ended.signal == 0)) << ended.exitStatus;
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
