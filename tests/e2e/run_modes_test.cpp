// The upgrade run and the stream mode of the built installer, as far as they
// show without packages: exit statuses, the marker, the manifest, the
// postlog, and what quiet mode silences.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "e2e/e2e_common.h"
#include "support/sandbox.h"

namespace velmora {
namespace {

constexpr const char* kEarlierPostlog = "line of an earlier run\n";
constexpr const char* kNoSpaceOut = "ERROR: not enough space for upgrade\n";

class UpgradeRun : public SandboxTest {};
class StreamMode : public SandboxTest {};

struct QuietRunCase {
    const char* name;
    std::vector<std::string> extraArgs;
    std::string expectedOut;
};

void PrintTo(const QuietRunCase& row, std::ostream* out) { *out << row.name; }

// An installed system with nothing uploaded and nothing scheduled: whatever
// the options, the run ends well and leaves every byte where it was (no
// PCKGS_CHANGED, no manifest, the postlog untouched).
const QuietRunCase kNothingToDoCases[] = {
    {"PlainRun", {}, ""},
    {"SafeRunWritesNoManifest", {"--safe"}, ""},
    {"DowngradeAllowed", {"-down"}, ""},
    {"IgnoredOptions", {"-b", "--force", "--noupgrade", "-i"}, ""},
    {"QuietRun", {"-q"}, ""},
    {"ReinstallRun", {"--reinstall"}, kResumingOut},
};

class NothingToDo : public SandboxTest, public ::testing::WithParamInterface<QuietRunCase> {};

TEST_P(NothingToDo, ChangesNothingAndExitsZero) {
    const QuietRunCase& row = GetParam();
    SandboxRoot sandbox;
    addInstalledRecord(sandbox, "stavel");
    sandbox.writeFile("flash/postlog", kEarlierPostlog);
    TreeSnapshot before = sandbox.snapshot();

    std::vector<std::string> args{"-r", sandbox.path()};
    args.insert(args.end(), row.extraArgs.begin(), row.extraArgs.end());
    RunResult run = sandbox.runInstaller(args);

    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(run.out, row.expectedOut);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(describeChanges(before, sandbox.snapshot()), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, NothingToDo, ::testing::ValuesIn(kNothingToDoCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpgradeRun, UpgradeOfEmptyRootWritesNoMarkerAndNoManifest) {
    for (const char* safe : {"", "--safe"}) {
        SCOPED_TRACE(safe);
        SandboxRoot sandbox;
        std::vector<std::string> args{"-r", sandbox.path()};
        if (*safe) args.push_back(safe);

        RunResult run = sandbox.runInstaller(args);

        EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
        EXPECT_FALSE(sandbox.exists("flash/PCKGS_CHANGED"));
        EXPECT_FALSE(sandbox.exists("ram/MANIFEST"));
    }
}

// Without /flash/boot the free-space rule has no account to draw on, so the
// run is short of space whatever it would change.
TEST_F(UpgradeRun, ShortOfSpaceExits28AndAppendsToPostlog) {
    SandboxRoot sandbox(SandboxLayout{.bootDir = false});
    addInstalledRecord(sandbox, "stavel");
    sandbox.writeFile("flash/postlog", kEarlierPostlog);
    TreeSnapshot before = sandbox.snapshot();

    RunResult run = sandbox.runInstaller({"-r", sandbox.path()});

    EXPECT_EQ(run.exitStatus, 28);
    EXPECT_EQ(run.out, kNoSpaceOut);
    EXPECT_EQ(sandbox.readFile("flash/postlog"), std::string(kEarlierPostlog) + kNoSpaceOut);
    TreeSnapshot after = sandbox.snapshot();
    after.erase("flash/postlog");
    before.erase("flash/postlog");
    EXPECT_EQ(describeChanges(before, after), "") << "only the postlog may change";
}

TEST_F(UpgradeRun, ShortOfSpaceStartsPostlogWhenThereIsNone) {
    SandboxRoot sandbox(SandboxLayout{.bootDir = false});
    addInstalledRecord(sandbox, "stavel");

    RunResult run = sandbox.runInstaller({"-r", sandbox.path(), "--safe"});

    EXPECT_EQ(run.exitStatus, 28);
    EXPECT_EQ(sandbox.readFile("flash/postlog"), std::string(kNoSpaceOut));
    EXPECT_FALSE(sandbox.exists("ram/MANIFEST"));
    EXPECT_FALSE(sandbox.exists("flash/PCKGS_CHANGED"));
}

TEST_F(UpgradeRun, ShortOfSpaceInQuietModeLeavesPostlogAlone) {
    SandboxRoot sandbox(SandboxLayout{.bootDir = false});
    addInstalledRecord(sandbox, "stavel");
    sandbox.writeFile("flash/postlog", kEarlierPostlog);
    TreeSnapshot before = sandbox.snapshot();

    RunResult run = sandbox.runInstaller({"-q", "-r", sandbox.path()});

    EXPECT_EQ(run.exitStatus, 28);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(describeChanges(before, sandbox.snapshot()), "");
}

TEST_F(UpgradeRun, ReinstallSkipsTheSpaceCheck) {
    SandboxRoot sandbox(SandboxLayout{.bootDir = false});
    addInstalledRecord(sandbox, "stavel");
    sandbox.writeFile("flash/postlog", kEarlierPostlog);
    TreeSnapshot before = sandbox.snapshot();

    RunResult run = sandbox.runInstaller({"-r", sandbox.path(), "--reinstall"});

    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, kResumingOut);
    EXPECT_EQ(describeChanges(before, sandbox.snapshot()), "");
}

// The image copy cannot be created without the package database directory:
// the line bypasses the message log (so -q does not silence it), nothing is
// installed and the postlog is not written.
TEST_F(StreamMode, StreamWithoutDatabaseCannotOpenImage) {
    for (bool quiet : {false, true}) {
        SCOPED_TRACE(quiet ? "quiet" : "not quiet");
        SandboxRoot sandbox(SandboxLayout{.packageDatabase = false});
        sandbox.writeFile("flash/postlog", kEarlierPostlog);
        TreeSnapshot before = sandbox.snapshot();
        std::vector<std::string> args{"-r", sandbox.path(), "-"};
        if (quiet) args.insert(args.begin(), "-q");

        RunResult run = sandbox.runInstaller(args, "package bytes");

        EXPECT_EQ(run.exitStatus, 255);
        const std::string line = "ERROR: could not open image\n";
        if (quiet) {
            EXPECT_EQ(run.out, line);
        } else {
            ASSERT_GE(run.out.size(), line.size());
            EXPECT_EQ(run.out.substr(run.out.size() - line.size()), line);
        }
        EXPECT_EQ(describeChanges(before, sandbox.snapshot()), "");
    }
}

// Input that is no package file can never install. The copy of the stream is
// left at /flash/var/pdb/image; nothing else changes, and in quiet mode
// nothing is printed or logged. "-" ends the scan, so the later --show is
// never seen.
TEST_F(StreamMode, FailedStreamLeavesOnlyTheImageCopy) {
    for (const char* trailing : {"", "--show"}) {
        SCOPED_TRACE(trailing);
        SandboxRoot sandbox;
        sandbox.writeFile("flash/postlog", kEarlierPostlog);
        TreeSnapshot before = sandbox.snapshot();
        std::vector<std::string> args{"-q", "-r", sandbox.path(), "-"};
        if (*trailing) args.push_back(trailing);

        RunResult run = sandbox.runInstaller(args, "this is not a package file");

        EXPECT_NE(run.exitStatus, 0);
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.out, "");
        TreeSnapshot after = sandbox.snapshot();
        ASSERT_EQ(after.count("flash/var/pdb/image"), 1u);
        EXPECT_EQ(after["flash/var/pdb/image"].type, 'f');
        after.erase("flash/var/pdb/image");
        EXPECT_EQ(describeChanges(before, after), "");
    }
}

}  // namespace
}  // namespace velmora
