// --commit and --cancel of the built installer on a manifest in the
// sandbox's /ram. These modes never enter a root, so they run chrooted into
// the sandbox: /ram/MANIFEST and every path in it are the sandbox's.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "e2e/e2e_common.h"
#include "e2e/install_support.h"
#include "support/sandbox.h"

namespace velmora {
namespace {

// One of each operation; an unlink of a plain file and of a directory with
// its entries, a link, and a move into a directory that does not exist yet.
constexpr const char* kManifest =
    "L /flash/link /flash/bootimage\n"
    "U /flash/old\n"
    "U /flash/old-dir\n"
    "M /flash/pkg/new /ram/tmpA1b2C3\n";

void layOutManifestCase(SandboxRoot& sandbox) {
    sandbox.writeFile("flash/old", "old contents");
    sandbox.writeFile("flash/old-dir/a", "a");
    sandbox.writeFile("flash/old-dir/b", "b");
    sandbox.writeFile("ram/tmpA1b2C3", "new contents", 0755);
    sandbox.writeFile("ram/MANIFEST", kManifest);
    // A root named with -r must not be entered: its manifest would remove
    // this file.
    sandbox.writeFile("elsewhere/ram/MANIFEST", "U /flash/keep\n");
    sandbox.writeFile("elsewhere/flash/keep", "keep");
}

struct ManifestModeCase {
    const char* name;
    std::vector<std::string> args;
};

void PrintTo(const ManifestModeCase& row, std::ostream* out) { *out << row.name; }

const ManifestModeCase kCommitCases[] = {
    {"Commit", {"--commit"}},
    {"LaterQuietIsNeverScanned", {"--commit", "-q"}},
    {"EarlierQuietDoesNotSilenceIt", {"-q", "--commit"}},
    {"LaterUnknownWordIsNeverScanned", {"--commit", "--bogus"}},
    {"LaterCancelIsNeverScanned", {"--commit", "--cancel"}},
    {"RootIsNotEntered", {"-r", "/elsewhere", "--commit"}},
};

class CommitMode : public SandboxTest, public ::testing::WithParamInterface<ManifestModeCase> {};

TEST_P(CommitMode, CarriesOutManifestAndKeepsIt) {
    SandboxRoot sandbox;
    layOutManifestCase(sandbox);

    RunResult run = sandbox.runInstaller(GetParam().args, "", RunMode::Chrooted);

    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, kFinishingOut);
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(sandbox.exists("flash/old"));
    EXPECT_FALSE(sandbox.exists("flash/old-dir"));
    EXPECT_EQ(sandbox.readLink("flash/link"), "/flash/bootimage");
    EXPECT_EQ(sandbox.readFile("flash/pkg/new"), "new contents");
    EXPECT_FALSE(sandbox.exists("ram/tmpA1b2C3"));
    EXPECT_EQ(sandbox.readFile("ram/MANIFEST"), kManifest);
    EXPECT_TRUE(sandbox.exists("elsewhere/flash/keep"));
}

INSTANTIATE_TEST_SUITE_P(Rows, CommitMode, ::testing::ValuesIn(kCommitCases),
                         [](const auto& info) { return std::string(info.param.name); });

const ManifestModeCase kCancelCases[] = {
    {"Cancel", {"--cancel"}},
    {"LaterCommitIsNeverScanned", {"--cancel", "--commit"}},
    {"LaterUnknownWordIsNeverScanned", {"--cancel", "--bogus"}},
    {"RootIsNotEntered", {"-r", "/elsewhere", "--cancel"}},
};

class CancelMode : public SandboxTest, public ::testing::WithParamInterface<ManifestModeCase> {};

TEST_P(CancelMode, DeletesManifestAndMovesNothing) {
    SandboxRoot sandbox;
    layOutManifestCase(sandbox);
    TreeSnapshot before = sandbox.snapshot();

    RunResult run = sandbox.runInstaller(GetParam().args, "", RunMode::Chrooted);

    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    TreeSnapshot after = sandbox.snapshot();
    EXPECT_EQ(after.count("ram/MANIFEST"), 0u);
    before.erase("ram/MANIFEST");
    // A loaded move is never a temporary file of this run: its source stays.
    EXPECT_EQ(describeChanges(before, after), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, CancelMode, ::testing::ValuesIn(kCancelCases),
                         [](const auto& info) { return std::string(info.param.name); });

class ManifestMissing : public SandboxTest {};

TEST_F(ManifestMissing, CommitAndCancelChangeNothing) {
    struct Expectation {
        const char* option;
        std::string out;
    };
    for (const Expectation& mode : {Expectation{"--commit", kFinishingOut}, Expectation{"--cancel", ""}}) {
        SCOPED_TRACE(mode.option);
        SandboxRoot sandbox;
        sandbox.writeFile("flash/file", "x");
        TreeSnapshot before = sandbox.snapshot();

        RunResult run = sandbox.runInstaller({mode.option}, "", RunMode::Chrooted);

        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.out, mode.out);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(describeChanges(before, sandbox.snapshot()), "");
    }
}

class CommitFailures : public SandboxTest {};

// A failed link or rename is reported and the commit goes on with the rest;
// the run then ends with status 1. Each failure sorts before a success of
// its own pass, so the successes prove that the commit went on.
TEST_F(CommitFailures, EveryOperationIsAttemptedAndRunExitsOne) {
    SandboxRoot sandbox;
    sandbox.writeFile("flash/blocker", "a plain file where a directory is needed");
    sandbox.writeFile("flash/z-old", "old");
    sandbox.writeFile("ram/tmpZ", "last");
    const std::string manifest =
        "M /flash/a-first /ram/no-such-file\n"
        "L /flash/blocker/link /flash/x\n"
        "L /flash/m-link /flash/x\n"
        "U /flash/z-old\n"
        "M /flash/z-last /ram/tmpZ\n";
    sandbox.writeFile("ram/MANIFEST", manifest);

    RunResult run = sandbox.runInstaller({"--commit"}, "", RunMode::Chrooted);

    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, kFinishingOut);
    EXPECT_NE(run.err.find("symlink: Not a directory\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("rename: No such file or directory\n"), std::string::npos) << run.err;
    EXPECT_FALSE(sandbox.exists("flash/a-first"));
    EXPECT_EQ(sandbox.readLink("flash/m-link"), "/flash/x");
    EXPECT_FALSE(sandbox.exists("flash/z-old"));
    EXPECT_EQ(sandbox.readFile("flash/z-last"), "last");
    EXPECT_EQ(sandbox.readFile("flash/blocker"), "a plain file where a directory is needed");
    EXPECT_EQ(sandbox.readFile("ram/MANIFEST"), manifest);
}

// The manifest is read as untrusted text: loading stops at a malformed line
// and keeps what came before; lines with unknown tags are passed over.
struct DamagedManifestCase {
    const char* name;
    std::string manifest;
    bool firstMoved;
    bool secondMoved;
};

void PrintTo(const DamagedManifestCase& row, std::ostream* out) { *out << row.name; }

const DamagedManifestCase kDamagedManifests[] = {
    {"UnknownTagIsSkipped", "X /flash/one /ram/t1\nM /flash/two /ram/t2\n", false, true},
    {"LoneTagStopsLoading", "M /flash/one /ram/t1\nU\nM /flash/two /ram/t2\n", true, false},
    {"MoveWithoutSourceStopsLoading", "M /flash/one /ram/t1\nM /flash/two\nM /flash/two /ram/t2\n", true, false},
    {"EmptyLineEndsManifest", "M /flash/one /ram/t1\n\nM /flash/two /ram/t2\n", true, false},
    {"LastLineWithoutLineEnd", "M /flash/one /ram/t1\nM /flash/two /ram/t2", true, true},
    {"BinaryGarbage", std::string("\x01\xff M\0\x7f\n\x80\x80 \n", 11), false, false},
};

class DamagedManifest : public SandboxTest, public ::testing::WithParamInterface<DamagedManifestCase> {};

TEST_P(DamagedManifest, CommitsWhatWasLoaded) {
    const DamagedManifestCase& row = GetParam();
    SandboxRoot sandbox;
    sandbox.writeFile("ram/t1", "one");
    sandbox.writeFile("ram/t2", "two");
    sandbox.writeFile("ram/MANIFEST", row.manifest);

    RunResult run = sandbox.runInstaller({"--commit"}, "", RunMode::Chrooted);

    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, kFinishingOut);
    EXPECT_EQ(sandbox.exists("flash/one"), row.firstMoved);
    EXPECT_EQ(sandbox.exists("ram/t1"), !row.firstMoved);
    EXPECT_EQ(sandbox.exists("flash/two"), row.secondMoved);
    EXPECT_EQ(sandbox.exists("ram/t2"), !row.secondMoved);
}

INSTANTIATE_TEST_SUITE_P(Rows, DamagedManifest, ::testing::ValuesIn(kDamagedManifests),
                         [](const auto& info) { return std::string(info.param.name); });

// --safe that cannot write its manifest (a directory stands where it is
// written first) carries nothing out, leaves nothing staged, and drops an
// older manifest that a later --commit would otherwise carry out.
TEST_F(ManifestMissing, SafeRunThatCannotWriteItDropsItsChangesAndTheOlderOne) {
    SandboxRoot sandbox;
    sandbox.writeFile("flash/rw/pckg/stavel.vpa",
                      makePackage(packageRecipe("stavel", "6.1", {regularFile("/bin/stavel", "new")})));
    sandbox.writeFile("ram/MANIFEST", "U /flash/keep\n");
    sandbox.makeDirs("ram/MANIFEST.new/in-the-way");
    TreeSnapshot before = sandbox.snapshot();
    before.erase("ram/MANIFEST");

    RunResult run = sandbox.runInstaller({"-r", sandbox.path(), "--safe"});

    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.out.find("ERROR: could not write /ram/MANIFEST: Is a directory"), std::string::npos) << run.out;
    EXPECT_EQ(changesBesides(before, sandbox.snapshot(), {"flash/postlog"}), "");
}

// With /ram on its own file system a move from it cannot be a rename: the
// contents and permission bits are copied under the spinner, and the source
// stays behind.
class CrossDeviceCommit : public SandboxTest {};

TEST_F(CrossDeviceCommit, CopiesUnderSpinnerAndKeepsSource) {
    SandboxRoot sandbox(SandboxLayout{.ramOnOtherDevice = true});
    std::string contents;
    for (int i = 0; contents.size() < 40000; ++i) contents += std::to_string(i) + ",";
    sandbox.writeFile("ram/tmpBig", contents, 0750);
    sandbox.writeFile("ram/MANIFEST", "M /flash/big /ram/tmpBig\n");

    RunResult run = sandbox.runInstaller({"--commit"}, "", RunMode::Chrooted);

    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(sandbox.readFile("flash/big"), contents);
    EXPECT_EQ(sandbox.snapshot()["flash/big"].mode, 0750u);
    EXPECT_EQ(sandbox.readFile("ram/tmpBig"), contents);
    // The first step of the spinner draws "|" without a backspace; later
    // steps (only after a fifth of a second) backspace and draw the next.
    const std::string head = "finishing install... |";
    const std::string tail = "\b \n";
    ASSERT_GE(run.out.size(), head.size() + tail.size()) << run.out;
    EXPECT_EQ(run.out.substr(0, head.size()), head);
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);
    for (char c : run.out.substr(head.size(), run.out.size() - head.size() - tail.size())) {
        EXPECT_NE(std::string("\b|/-\\").find(c), std::string::npos) << "unexpected byte " << int(c);
    }
}

}  // namespace
}  // namespace velmora
