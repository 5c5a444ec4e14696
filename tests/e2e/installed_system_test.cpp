// Installing over what an earlier run installed: upgrades, downgrades,
// reinstalls, conflicts and requirements met by installed packages, bundles
// that lose a member, and the user's choices surviving an upgrade. Each
// test installs the earlier state with the installer itself.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "e2e/e2e_common.h"
#include "e2e/install_support.h"

namespace velmora {
namespace {

const std::vector<std::string> kImageAndPostlog{"flash/var/pdb/image", "flash/postlog"};

std::string stavel(std::string_view version, std::vector<FileEntry> files) {
    return makePackage(packageRecipe("stavel", version, std::move(files)));
}

class InstalledSystem : public InstallTest {
protected:
    // Installs image through the stream mode and forgets its postlog, so
    // that each test sees only what its own run reports.
    void installed(const std::string& image) {
        RunResult run = streamInstall(image);
        ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
        box.removeAll("flash/postlog");
        box.removeAll("flash/var/pdb/image");
    }
};

TEST_F(InstalledSystem, NewerVersionReplacesFilesAndRecord) {
    installed(stavel("6.1", {regularFile("/bin/tool", "tool 6.1"), regularFile("/bin/gone", "only in 6.1")}));

    RunResult run = streamInstall(stavel("6.2", {regularFile("/bin/tool", "tool 6.2"), regularFile("/bin/new", "n")}));

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(read("flash/bin/tool"), "tool 6.2");
    EXPECT_EQ(read("flash/bin/new"), "n");
    EXPECT_FALSE(box.exists("flash/bin/gone"));
    EXPECT_EQ(db("stavel", "version"), std::to_string(ver("6.2")) + " 1300000000\n");
    EXPECT_EQ(db("stavel", "files"), "bin/new\nbin/tool\n");
    EXPECT_EQ(postlog(), "installed stavel-6.2\n");
}

struct DowngradeRow {
    const char* name;
    std::vector<std::string> args;
    bool marker;   // "/rw/DOWNGRADE" present
    bool upload;   // upgrade run with the package uploaded, else the stream mode
    bool installs;
    int exitStatus;
    std::string postlog;
};

void PrintTo(const DowngradeRow& row, std::ostream* out) { *out << row.name; }

const std::string kRefusedDowngrade = "WARNING: omitting package stavel-6.1: newer package stavel-6.2 is already installed\n";

const DowngradeRow kDowngradeRows[] = {
    {"StreamWithoutDown", {}, false, false, false, 1, kRefusedDowngrade},
    {"StreamWithDown", {"-down"}, false, false, true, 0, "installed stavel-6.1\n"},
    // The stream mode does not look at the marker.
    {"StreamIgnoresMarker", {}, true, false, false, 1, kRefusedDowngrade},
    {"UploadRefused", {}, false, true, false, 0, kRefusedDowngrade},
    {"UploadWithDown", {"-down"}, false, true, true, 0, "installed stavel-6.1\n"},
    {"UploadWithMarker", {}, true, true, true, 0, "installed stavel-6.1\n"},
};

class Downgrade : public InstalledSystem, public ::testing::WithParamInterface<DowngradeRow> {};

TEST_P(Downgrade, OlderVersionNeedsPermission) {
    const DowngradeRow& row = GetParam();
    installed(stavel("6.2", {regularFile("/bin/tool", "tool 6.2")}));
    if (row.marker) {
        ASSERT_TRUE(box.writeFile("rw/DOWNGRADE", ""));
    }
    const std::string older = stavel("6.1", {regularFile("/bin/tool", "tool 6.1")});
    if (row.upload) upload("stavel.vpa", older);
    TreeSnapshot before = box.snapshot();

    RunResult run = row.upload ? upgradeRun(row.args) : streamInstall(older, row.args);

    EXPECT_EQ(run.exitStatus, row.exitStatus) << run.out << run.err;
    EXPECT_EQ(postlog(), row.postlog);
    if (row.installs) {
        EXPECT_EQ(read("flash/bin/tool"), "tool 6.1");
        EXPECT_EQ(db("stavel", "version"), "100754944 1300000000\n");
    } else {
        expectUnchanged(before, kImageAndPostlog);
    }
    if (row.upload && row.marker) {
        EXPECT_FALSE(box.exists("rw/DOWNGRADE"));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Downgrade, ::testing::ValuesIn(kDowngradeRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InstalledSystem, SameVersionIsNotUnpackedAgain) {
    const std::string image = stavel("6.1", {regularFile("/bin/tool", "tool 6.1")});
    installed(image);
    // Changed by hand: an unpacked package would put the original back.
    ASSERT_TRUE(box.writeFile("flash/bin/tool", "edited"));
    TreeSnapshot before = box.snapshot();

    RunResult plain = streamInstall(image);

    EXPECT_EQ(plain.exitStatus, 0) << plain.out << plain.err;
    EXPECT_EQ(postlog(), "WARNING: omitting package stavel-6.1: it is already installed\n");
    expectUnchanged(before, kImageAndPostlog);

    box.removeAll("flash/postlog");
    RunResult again = streamInstall(image, {"--reinstall"});

    EXPECT_EQ(again.exitStatus, 0) << again.out << again.err;
    EXPECT_EQ(again.out.rfind("\nResuming upgrade...\n", 0), 0u);
    EXPECT_EQ(postlog(), "installed stavel-6.1\n");
    expectUnchanged(before, kImageAndPostlog);
}

TEST_F(InstalledSystem, PackageConflictingWithAnInstalledOneIsInstalledDisabled) {
    PackageRecipe guard = packageRecipe("guard", "1.0", {regularFile("/bin/guard", "guard")});
    guard.conflicts = {Dependency{"intruder", 0, 0, 0}};
    installed(makePackage(guard));

    RunResult run = streamInstall(makePackage(packageRecipe("intruder", "2.0", {regularFile("/bin/intruder", "i")})));

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(postlog(), "installed (disabled) intruder-2.0\n");
    EXPECT_EQ(read("flash/x/intruder/bin/intruder"), "i");
    EXPECT_FALSE(box.exists("flash/bin/intruder"));
    EXPECT_EQ(db("intruder", "disabled"), "auto\n");
    EXPECT_EQ(read("flash/bin/guard"), "guard");
}

TEST_F(InstalledSystem, RequirementMetByAnInstalledPackage) {
    installed(makePackage(packageRecipe("lib", "1.5", {regularFile("/lib/libx.so", "libx")})));
    PackageRecipe app = packageRecipe("app", "1.0", {regularFile("/bin/app", "app")});
    app.deps = {needs("lib", "1.2")};

    RunResult run = streamInstall(makePackage(app));

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(read("flash/bin/app"), "app");
    EXPECT_EQ(postlog(), "installed app-1.0\n");
}

TEST_F(InstalledSystem, BundleUninstallsTheMemberItDropped) {
    // A bundle keeps its image: its members are known from it on later runs.
    BundleRecipe first;
    first.bundle = packageRecipe("suite", "1.0");
    first.bundle.keepImage = true;
    first.members = {makePackage(packageRecipe("core", "1.0", {regularFile("/bin/core", "core 1")})),
                     makePackage(packageRecipe("legacy", "1.0", {regularFile("/bin/legacy", "legacy")}))};
    installed(buildBundle(first));
    ASSERT_TRUE(box.exists("flash/var/pdb/legacy"));

    BundleRecipe second;
    second.bundle = packageRecipe("suite", "2.0");
    second.bundle.keepImage = true;
    second.members = {makePackage(packageRecipe("core", "2.0", {regularFile("/bin/core", "core 2")}))};
    const std::string image = buildBundle(second);
    RunResult run = streamInstall(image);

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(read("flash/bin/core"), "core 2");
    EXPECT_EQ(db("core", "version"), std::to_string(ver("2.0")) + " 1300000000\n");
    EXPECT_FALSE(box.exists("flash/var/pdb/legacy"));
    EXPECT_EQ(read("flash/var/pdb/suite/image"), image);
    EXPECT_EQ(postlog(), "installed suite-2.0\n");
}

TEST_F(InstalledSystem, BundleMemberAlreadyInstalledStillCounts) {
    const std::string core = makePackage(packageRecipe("core", "1.0", {regularFile("/bin/core", "core")}));
    installed(core);
    BundleRecipe bundle;
    bundle.bundle = packageRecipe("suite", "1.0");
    bundle.members = {core};

    RunResult run = streamInstall(buildBundle(bundle));

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(postlog(), "installed suite-1.0\n");
    EXPECT_TRUE(box.exists("flash/var/pdb/suite/version"));
}

TEST_F(InstalledSystem, UsersDisabledChoiceSurvivesAnUpgrade) {
    installed(stavel("6.1", {regularFile("/bin/tool", "tool 6.1")}));
    installed(makePackage(packageRecipe("extra", "1.0", {regularFile("/bin/extra", "extra 1")})));
    // The user disabled extra in an earlier run.
    ASSERT_TRUE(box.writeFile("flash/var/pdb/extra/disabled", "user\n"));
    upload("extra.vpa", makePackage(packageRecipe("extra", "1.1", {regularFile("/bin/extra", "extra 1.1")})));

    RunResult run = upgradeRun();

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(postlog(), "installed (disabled) extra-1.1\n");
    EXPECT_EQ(read("flash/x/extra/bin/extra"), "extra 1.1");
    EXPECT_EQ(db("extra", "disabled"), "user\n");
}

TEST_F(InstalledSystem, EnabledPackageDisabledDuringTheUpgradeIsEnabledAgain) {
    // web was enabled. Its new version arrives first in an uploaded bundle,
    // while the old blocker (which conflicts with web from 9.0 on) is still
    // enabled, so it starts disabled; the blocker's new version drops the
    // conflict, and at the end nothing stands in web's way.
    PackageRecipe blocker = packageRecipe("blocker", "1.0", {regularFile("/bin/blocker", "b1")});
    blocker.conflicts = {Dependency{"web", ver("9.0"), 0, 0}};
    installed(makePackage(packageRecipe("web", "1.0", {regularFile("/bin/web", "web 1")})));
    installed(makePackage(blocker));
    BundleRecipe bundle;
    bundle.bundle = packageRecipe("suite", "1.0");
    bundle.members = {makePackage(packageRecipe("web", "9.1", {regularFile("/bin/web", "web 9.1")})),
                      makePackage(packageRecipe("blocker", "2.0", {regularFile("/bin/blocker", "b2")}))};
    upload("suite.vpa", buildBundle(bundle));

    RunResult run = upgradeRun();

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(postlog(), "installed suite-1.0\nenabled web-9.1\n");
    EXPECT_FALSE(box.exists("flash/var/pdb/web/disabled"));
    EXPECT_EQ(read("flash/bin/blocker"), "b2");
}

TEST_F(InstalledSystem, DowngradeMarkerIsRemovedEvenWithNothingUploaded) {
    addInstalledRecord(box, "stavel");
    ASSERT_TRUE(box.writeFile("rw/DOWNGRADE", ""));
    TreeSnapshot before = box.snapshot();

    RunResult run = upgradeRun();

    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(box.exists("rw/DOWNGRADE"));
    EXPECT_EQ(changesBesides(before, box.snapshot(), {"rw/DOWNGRADE"}), "") << "the postlog is not even reserved";
}

}  // namespace
}  // namespace velmora
