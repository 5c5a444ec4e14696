// An upgrade run killed (SIGKILL) at a random moment: before its commit it
// has changed nothing but temporary files; during its commit every file is
// the old one or the new one, never missing, never anything else; and in
// every case the next ordinary run completes the upgrade and clears away
// every file the killed run staged. What the kills left is summed up at the
// end of the run. (crash_sweep_test.cpp kills at every call instead; this
// one takes a bigger upgrade, with its real timing.)
//
// The delays are measured from the start of the run: every other one falls
// anywhere in a complete run's duration (measured first), the others in its
// last quarter, where the commit is. KILL_TRIALS sets the number of kills
// (20 by default, as CI runs it; the full run is KILL_TRIALS=100), KILL_SEED
// the seed of the delays (printed with every run and with every failure, so
// that the same delays can be tried again).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/fault_support.h"

extern char** environ;

namespace velmora {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned long kTmpfsBytes = 64 * 1024 * 1024;
constexpr std::size_t kScale = 1024 * 1024;  // webui 1 MiB, ntp 2 MiB, dns 1 MiB
constexpr int kZoneFiles = 300;

struct Ended {
    bool killed = false;   // the kill ended it
    int exitStatus = -1;   // when it exited by itself
    int signal = 0;        // when a signal ended it
    std::chrono::microseconds lasted{0};
};

// installer -r ROOT as the sandbox runs it, but started in the background
// so that it can be killed: its own mount namespace with the host's /proc
// bound into the root (sanitizer runtimes read it), output discarded.
class BackgroundRun {
public:
    explicit BackgroundRun(const SandboxRoot& box) {
        std::vector<std::string> args{"installer", "-r", box.path()};
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const std::string proc = box.hostPath("proc");
        started_ = Clock::now();
        pid_ = ::fork();
        if (pid_ == 0) {
            int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            ::umask(022);
            if (::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
                ::mount("/proc", proc.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
            }
            ::execve(INSTALLER_BINARY, argv.data(), environ);
            ::_exit(127);
        }
    }
    BackgroundRun(const BackgroundRun&) = delete;
    BackgroundRun& operator=(const BackgroundRun&) = delete;
    ~BackgroundRun() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }

    bool started() const { return pid_ > 0; }

    // Kills the run when it is still going after delay (from its start).
    Ended killAfter(std::chrono::microseconds delay) {
        std::this_thread::sleep_until(started_ + delay);
        Ended ended = poll();
        if (reaped_) return ended;
        ::kill(pid_, SIGKILL);
        ended = wait();
        ended.killed = ended.signal == SIGKILL;
        return ended;
    }

    Ended wait() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        return ended(status);
    }

private:
    Ended poll() {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_) return {};
        return ended(status);
    }

    Ended ended(int status) {
        reaped_ = true;
        Ended result;
        result.lasted = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started_);
        if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
        return result;
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    Clock::time_point started_;
};

// Where a kill left the tree, compared path by path with the tree before
// the run and the tree a complete run leaves (temporary files and the
// postlog aside).
struct KillState {
    unsigned changed = 0;  // paths that are no longer as before
    unsigned pending = 0;  // paths the upgrade changes that are still as before
    std::vector<std::string> missing;  // gone, though both the old and the new tree have them
    std::vector<std::string> torn;     // there, but neither as before nor as after
};

KillState compare(const TreeSnapshot& before, const TreeSnapshot& now, const TreeSnapshot& upgraded) {
    KillState state;
    std::vector<std::string> paths;
    for (const TreeSnapshot* tree : {&before, &now, &upgraded}) {
        for (const auto& [path, entry] : *tree) paths.push_back(path);
    }
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    auto at = [](const TreeSnapshot& tree, const std::string& path) {
        TreeEntry absent;
        absent.type = '-';
        auto it = tree.find(path);
        return it == tree.end() ? absent : it->second;
    };
    for (const std::string& path : paths) {
        // What a stopped run keeps for the next one: its journal, the
        // register of its staged files.
        if (path.rfind("flash/var/pdb/.", 0) == 0) continue;
        const TreeEntry old = at(before, path);
        const TreeEntry current = at(now, path);
        const TreeEntry target = at(upgraded, path);
        if (current == old) {
            if (!(target == old)) ++state.pending;
            continue;
        }
        ++state.changed;
        if (current == target) continue;
        (current.type == '-' ? state.missing : state.torn).push_back(path);
    }
    return state;
}

class KilledUpgrade : public TmpfsFlashTest {
protected:
    void SetUp() override {
        InstallTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        mountFlashAndRam(kTmpfsBytes, kTmpfsBytes);
    }

    std::string listing() {
        RunResult run = box.runInstaller({"-r", box.path(), "--show"});
        return "exit " + std::to_string(run.exitStatus) + "\n" + run.out + run.err;
    }
};

TEST_F(KilledUpgrade, LeavesOldOrNewFilesAndTheNextRunCompletesTheUpgrade) {
    const unsigned long trials = envNumber("KILL_TRIALS", 20);
    const unsigned long seed = envNumber("KILL_SEED", std::random_device{}());
    std::printf("KILL_SEED=%lu KILL_TRIALS=%lu\n", seed, trials);
    RecordProperty("seed", std::to_string(seed));
    SCOPED_TRACE("KILL_SEED=" + std::to_string(seed));
    const UpgradeScenario scenario = upgradeScenario(kScale, kZoneFiles);

    for (const UploadedFile& file : scenario.installed) upload(file.name, file.image);
    RunResult install = upgradeRun();
    ASSERT_EQ(install.exitStatus, 0) << install.out << install.err;
    ASSERT_TRUE(box.removeAll("flash/rw/pckg/ntp-6.1.vpa"));
    ASSERT_TRUE(box.removeAll("flash/postlog"));
    saveFlash();
    ASSERT_FALSE(HasFatalFailure());
    const std::string listedBefore = listing();

    // Complete runs: how long one takes, and what it leaves.
    std::vector<std::chrono::microseconds> durations;
    TreeSnapshot upgraded;
    for (int i = 0; i < 7; ++i) {
        restore(scenario.uploads);
        BackgroundRun run(box);
        ASSERT_TRUE(run.started());
        Ended ended = run.wait();
        ASSERT_EQ(ended.exitStatus, 0);
        ASSERT_EQ(temporaryFiles(box.snapshot()), std::vector<std::string>{});
        durations.push_back(ended.lasted);
        upgraded = withoutTemporaries(box.snapshot(), {"flash/postlog"});
    }
    const std::string listedAfter = listing();
    ASSERT_NE(listedAfter, listedBefore);
    // The first run pays for pages the machine has not handed out yet.
    durations.erase(durations.begin());
    std::sort(durations.begin(), durations.end());
    const auto typical = durations[durations.size() / 2];
    std::printf("a complete run takes %lld us (%lld to %lld)\n", static_cast<long long>(typical.count()),
                static_cast<long long>(durations.front().count()), static_cast<long long>(durations.back().count()));

    // Every other kill lands anywhere in the run; the rest in its last
    // part, where the commit is, which would otherwise be hit only rarely.
    std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
    std::uniform_int_distribution<long long> anywhere(0, typical.count() * 11 / 10);
    std::uniform_int_distribution<long long> nearTheEnd(typical.count() * 3 / 4, typical.count() * 21 / 20);
    unsigned beforeCommit = 0;
    unsigned duringCommit = 0;
    unsigned afterCommit = 0;
    unsigned finished = 0;
    unsigned leftOnFlash = 0;
    unsigned leftInRam = 0;
    for (unsigned long trial = 0; trial < trials; ++trial) {
        const std::chrono::microseconds delay{trial % 2 == 0 ? anywhere(random) : nearTheEnd(random)};
        SCOPED_TRACE("trial " + std::to_string(trial) + ", killed after " + std::to_string(delay.count()) + " us");
        restore(scenario.uploads);
        const TreeSnapshot before = withoutTemporaries(box.snapshot(), {"flash/postlog"});

        Ended ended;
        {
            BackgroundRun run(box);
            ASSERT_TRUE(run.started());
            ended = run.killAfter(delay);
        }
        if (!ended.killed) {
            // It ended before the kill came: then it ended as a complete run.
            ++finished;
            EXPECT_EQ(ended.exitStatus, 0);
            EXPECT_EQ(ended.signal, 0);
        }

        const TreeSnapshot left = box.snapshot();
        for (const std::string& path : temporaryFiles(left)) ++(path.rfind("ram/", 0) == 0 ? leftInRam : leftOnFlash);
        const KillState state = compare(before, withoutTemporaries(left, {"flash/postlog"}), upgraded);
        EXPECT_EQ(state.torn, std::vector<std::string>{}) << "files neither old nor new";
        EXPECT_EQ(state.missing, std::vector<std::string>{}) << "files gone, though before and after have them";
        if (state.changed == 0) {
            ++beforeCommit;
            // The catalogue reads as before: temporary files left beside
            // their targets are not taken for anything.
            EXPECT_EQ(listing(), listedBefore);
        } else if (state.pending == 0) {
            ++afterCommit;
            EXPECT_EQ(listing(), listedAfter);
        } else {
            ++duringCommit;
        }

        // The next run, the uploads still there, completes the upgrade and
        // clears away what the killed run staged.
        RunResult next = upgradeRun();
        EXPECT_EQ(next.exitStatus, 0) << next.out << next.err;
        EXPECT_EQ(next.signal, 0);
        EXPECT_EQ(next.out.find("ERROR"), std::string::npos) << next.out;
        const TreeSnapshot settled = box.snapshot();
        EXPECT_EQ(temporaryFiles(settled), std::vector<std::string>{});
        EXPECT_EQ(changesBesides(upgraded, settled, {"flash/postlog"}), "");
        EXPECT_EQ(listing(), listedAfter);
        if (HasFailure()) return;
    }

    char summary[512];
    std::snprintf(summary, sizeof summary,
                  "%lu kills: %u before the commit, %u during it, %u after it, %u runs ended first; "
                  "temporary files left by the kill: %u on the flash, %u in /ram\n",
                  trials, beforeCommit, duringCommit, afterCommit, finished, leftOnFlash, leftInRam);
    std::printf("%s", summary);
    RecordProperty("summary", summary);
}

}  // namespace
}  // namespace velmora
