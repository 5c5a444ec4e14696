// The option scan of the built installer: which mode a command line selects,
// what it prints on its own, its exit status, and that a scan that ends in
// the usage line or a refused root touches nothing.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "e2e/e2e_common.h"
#include "support/sandbox.h"

namespace velmora {
namespace {

struct ScanCase {
    const char* name;
    std::vector<std::string> args;  // "@root" stands for the sandbox's path
    std::string expectedOut;
    RunMode mode = RunMode::Normal;
};

void PrintTo(const ScanCase& row, std::ostream* out) { *out << row.name; }

// Every row runs against an empty package database and an old postlog; none
// of them may change a byte of the root.
const ScanCase kScanCases[] = {
    {"UnknownWordPrintsUsage", {"-r", "@root", "--bogus"}, kUsageOut},
    {"UnknownWordEndsScanBeforeRoot", {"--bogus", "-r", "@root"}, kUsageOut},
    {"OptionsAreCaseSensitive", {"-r", "@root", "--SHOW"}, kUsageOut},
    {"OptionPrefixIsUnknown", {"-r", "@root", "--sho"}, kUsageOut},
    {"OptionWithAttachedValueIsUnknown", {"-r", "@root", "--show=yes"}, kUsageOut},
    {"EmptyArgumentIsUnknown", {"-r", "@root", ""}, kUsageOut},
    {"RootWithoutValuePrintsUsage", {"-r", "@root", "-r"}, kUsageOut},
    {"LoneRootOptionPrintsUsage", {"-r"}, kUsageOut, RunMode::Chrooted},
    {"UsageIsPrintedDespiteQuiet", {"-q", "-r", "@root", "-x"}, kUsageOut},
    {"ShowThenCleanupOnlyLists", {"-r", "@root", "--show", "--cleanup"}, emptyListing()},
    {"CleanupThenShowNeverLists", {"-r", "@root", "--cleanup", "--show"}, ""},
    {"CleanupEndsScanBeforeUnknownWord", {"-r", "@root", "--cleanup", "--bogus"}, ""},
    {"ShowWinsOverLaterStream", {"-r", "@root", "--show", "-"}, emptyListing()},
    {"IgnoredOptionsKeepTheScanGoing", {"-r", "@root", "-b", "--force", "--noupgrade", "-i", "--show"},
     emptyListing()},
    {"DowngradeAndSafeAreOptions", {"-r", "@root", "-down", "--safe", "--show"}, emptyListing()},
    {"ListingIsNotSilencedByQuiet", {"-q", "-r", "@root", "--show"}, emptyListing()},
    {"LastRootWins", {"-r", "@root/missing", "-r", "@root", "--show"}, emptyListing()},
    {"ReinstallSpeaksBeforeLaterUsage", {"-r", "@root", "--reinstall", "--bogus"}, kResumingOut + kUsageOut},
    {"ReinstallSpeaksDespiteLaterQuiet", {"-r", "@root", "--reinstall", "-q"}, kResumingOut},
    {"ReinstallSpeaksBeforeListing", {"-r", "@root", "--reinstall", "--show"}, kResumingOut + emptyListing()},
};

class OptionScan : public SandboxTest, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(OptionScan, SelectsModeAndLeavesRootAlone) {
    const ScanCase& row = GetParam();
    SandboxRoot sandbox;
    sandbox.writeFile("flash/postlog", "line of an earlier run\n");
    TreeSnapshot before = sandbox.snapshot();

    RunResult run = sandbox.runInstaller(withRoot(row.args, sandbox), "", row.mode);

    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, row.expectedOut);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(describeChanges(before, sandbox.snapshot()), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, OptionScan, ::testing::ValuesIn(kScanCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A root that cannot be entered ends the run before anything is loaded. The
// runs are chrooted into the sandbox, so a run that went on regardless would
// act on the sandbox (and be seen) rather than on the host.
struct RefusedRootCase {
    const char* name;
    std::vector<std::string> args;
    std::string expectedErr;
};

void PrintTo(const RefusedRootCase& row, std::ostream* out) { *out << row.name; }

const RefusedRootCase kRefusedRootCases[] = {
    {"MissingRootBeforeUpgrade", {"-r", "/missing"}, "chroot: No such file or directory\n"},
    {"MissingRootBeforeListing", {"-r", "/missing", "--show"}, "chroot: No such file or directory\n"},
    {"MissingRootBeforeCleanup", {"-r", "/missing", "--cleanup"}, "chroot: No such file or directory\n"},
    {"MissingRootBeforeStream", {"-r", "/missing", "-"}, "chroot: No such file or directory\n"},
    {"MissingRootIsNotSilencedByQuiet", {"-q", "-r", "/missing", "--safe"}, "chroot: No such file or directory\n"},
    {"RootThatIsAFile", {"-r", "/flash/postlog", "--show"}, "chroot: Not a directory\n"},
};

class RefusedRoot : public SandboxTest, public ::testing::WithParamInterface<RefusedRootCase> {};

TEST_P(RefusedRoot, ExitsWithOneAndChangesNothing) {
    const RefusedRootCase& row = GetParam();
    SandboxRoot sandbox;
    sandbox.writeFile("flash/postlog", "line of an earlier run\n");
    TreeSnapshot before = sandbox.snapshot();

    RunResult run = sandbox.runInstaller(row.args, "package bytes", RunMode::Chrooted);

    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.err, row.expectedErr);
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(sandbox.exists("missing"));
    EXPECT_EQ(describeChanges(before, sandbox.snapshot()), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, RefusedRoot, ::testing::ValuesIn(kRefusedRootCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora
