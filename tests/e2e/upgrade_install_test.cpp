// The upgrade run of the built installer over uploaded package files: the
// order they are installed in, the images they leave, the marker and the
// postlog, the two-phase --safe run, and that one failing file cancels all.

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "e2e/install_support.h"

namespace velmora {
namespace {

using UpgradeInstall = InstallTest;

std::string libPackage() { return makePackage(packageRecipe("lib", "1.0", {regularFile("/lib/libx.so", "libx")})); }

PackageRecipe appRecipe() {
    PackageRecipe recipe = packageRecipe("app", "1.0", {regularFile("/bin/app", "app", 0755)});
    recipe.deps = {needs("lib")};
    return recipe;
}

TEST_F(UpgradeInstall, UploadedPackagesInstallInDependencyOrder) {
    // The dependent package sorts first by name; the order comes from the
    // requirement.
    upload("a-app.vpa", makePackage(appRecipe()));
    upload("z-lib.vpd", libPackage());

    RunResult run = upgradeRun();

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(read("flash/lib/libx.so"), "libx");
    EXPECT_EQ(read("flash/bin/app"), "app");
    EXPECT_EQ(db("app", "deps"), "lib 0 0\n");
    EXPECT_EQ(postlog(), "installed lib-1.0\ninstalled app-1.0\n");
    EXPECT_EQ(read("flash/PCKGS_CHANGED"), "");
    // Packages that do not keep their image leave the upload alone.
    EXPECT_TRUE(box.exists("flash/rw/pckg/a-app.vpa"));
    EXPECT_TRUE(box.exists("flash/rw/pckg/z-lib.vpd"));
    EXPECT_FALSE(box.exists("ram/MANIFEST"));
    EXPECT_EQ(temporaryFiles(box.snapshot()), std::vector<std::string>{});
}

TEST_F(UpgradeInstall, PackageInstalledAfterAConflictingOneStartsDisabled) {
    PackageRecipe beta = packageRecipe("beta", "1.0", {regularFile("/bin/beta", "beta")});
    beta.conflicts = {Dependency{"alpha", 0, 0, 0}};
    upload("alpha.vpa", makePackage(packageRecipe("alpha", "1.0", {regularFile("/bin/alpha", "alpha")})));
    upload("beta.vpa", makePackage(beta));

    RunResult run = upgradeRun();

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(postlog(), "installed beta-1.0\ninstalled (disabled) alpha-1.0\n");
    EXPECT_EQ(read("flash/bin/beta"), "beta");
    EXPECT_EQ(read("flash/x/alpha/bin/alpha"), "alpha");
    EXPECT_FALSE(box.exists("flash/bin/alpha"));
    EXPECT_EQ(db("alpha", "disabled"), "auto\n");
    EXPECT_EQ(db("alpha", "files"), "x/alpha/bin/alpha\n");
}

TEST_F(UpgradeInstall, KeptImagesAreMovedFromTheUploadDirectory) {
    PackageRecipe keep = packageRecipe("keeper", "1.0", {regularFile("/bin/keeper", "k")});
    keep.keepImage = true;
    const std::string image = makePackage(keep);
    upload("keeper.vpa", image);

    RunResult run = upgradeRun();

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_FALSE(box.exists("flash/rw/pckg/keeper.vpa"));
    EXPECT_EQ(read("flash/var/pdb/keeper/image"), image);
    EXPECT_EQ(read("flash/bin/keeper"), "k");
}

TEST_F(UpgradeInstall, UploadedBootImageBecomesTheBootImage) {
    PackageRecipe boot = packageRecipe("velmora-boot", "6.1", {regularFile("/boot/kernel", "kernel")});
    boot.flags = FlagBootImage;
    boot.keepImage = true;
    const std::string image = makePackage(boot);
    upload("boot.vpa", image);

    RunResult run = upgradeRun({}, {{"bootimage", "yes"}});

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_FALSE(box.exists("flash/rw/pckg/boot.vpa"));
    EXPECT_EQ(read("flash/bootimage"), image);
    EXPECT_EQ(box.readLink("flash/var/pdb/velmora-boot/image"), "/flash/bootimage");
    EXPECT_FALSE(box.exists("flash/boot/kernel"));
    EXPECT_EQ(read("flash/UPGRADED"), "");
    EXPECT_EQ(postlog(), "installed velmora-boot-6.1\n");
}

TEST_F(UpgradeInstall, SecondUploadDirectoryOnlyWhenTheFirstOffersNothing) {
    upload("lib.vpa", libPackage(), "flash/var/pckg/");
    upload("notes.txt", "not a package");

    RunResult first = upgradeRun();

    ASSERT_EQ(first.exitStatus, 0) << first.out << first.err;
    EXPECT_EQ(read("flash/lib/libx.so"), "libx");

    SandboxRoot both;
    ASSERT_TRUE(both.writeFile("flash/rw/pckg/solo.vpa",
                               makePackage(packageRecipe("solo", "1.0", {regularFile("/bin/solo", "solo")}))));
    ASSERT_TRUE(both.writeFile("flash/var/pckg/lib.vpa", libPackage()));
    RunResult second = both.runInstaller({"-r", both.path()});
    ASSERT_EQ(second.exitStatus, 0) << second.out << second.err;
    EXPECT_TRUE(both.exists("flash/bin/solo"));
    EXPECT_FALSE(both.exists("flash/lib/libx.so"));
}

// --- one failing upload cancels the whole run -------------------------------

struct FailingUploadRow {
    const char* name;
    std::function<std::string()> app;  // installed after lib, which it needs
    std::string postlog;
};

void PrintTo(const FailingUploadRow& row, std::ostream* out) { *out << row.name; }

// lib was reported installed before app failed; the cancel takes it back.
const std::string kAppBroken = "installed lib-1.0\nERROR: installation of app-1.0 failed: broken package\n";

std::vector<FailingUploadRow> failingUploadRows() {
    return {
        {"FlippedByte",
         [] {
             std::string image = makePackage(appRecipe());
             flipByte(image, findPart(image, PartFileArchive)->dataOffset() + 12);
             return image;
         },
         kAppBroken},
        {"EntryReachingOutsideFlash",
         [] {
             PackageRecipe recipe = appRecipe();
             recipe.files.push_back(regularFile("/../../rw/evil", "evil"));
             return makePackage(recipe);
         },
         kAppBroken},
        {"RequirementTooNew",
         [] {
             PackageRecipe recipe = appRecipe();
             recipe.deps = {needs("lib", "2.0")};
             return makePackage(recipe);
         },
         "installed lib-1.0\nERROR: can not install app-1.0: lib-2.0 is not installed, but is required\n"},
    };
}

class FailingUpload : public InstallTest, public ::testing::WithParamInterface<FailingUploadRow> {};

TEST_P(FailingUpload, CancelsThePackagesInstalledBeforeIt) {
    upload("lib.vpa", libPackage());
    upload("app.vpa", GetParam().app());
    TreeSnapshot before = box.snapshot();

    RunResult run = upgradeRun();

    // The run itself ends well: its change set is simply empty.
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(postlog(), GetParam().postlog);
    expectUnchanged(before, {"flash/postlog"});
    EXPECT_FALSE(box.exists("rw/evil"));
}

INSTANTIATE_TEST_SUITE_P(Rows, FailingUpload, ::testing::ValuesIn(failingUploadRows()),
                         [](const auto& info) { return std::string(info.param.name); });

// --- two phases ---------------------------------------------------------------

TEST_F(UpgradeInstall, SafeRunThenCommit) {
    upload("lib.vpa", libPackage());

    RunResult safe = upgradeRun({"--safe"});

    ASSERT_EQ(safe.exitStatus, 0) << safe.out << safe.err;
    EXPECT_TRUE(box.exists("ram/MANIFEST"));
    EXPECT_FALSE(box.exists("flash/lib/libx.so"));
    EXPECT_FALSE(box.exists("flash/PCKGS_CHANGED"));
    EXPECT_FALSE(box.exists("flash/var/pdb/lib"));
    EXPECT_EQ(postlog(), "installed lib-1.0\n");

    RunResult commit = box.runInstaller({"--commit"}, "", RunMode::Chrooted);

    ASSERT_EQ(commit.exitStatus, 0) << commit.out << commit.err;
    EXPECT_EQ(commit.out, "finishing install... \b \n");
    EXPECT_EQ(read("flash/lib/libx.so"), "libx");
    EXPECT_EQ(db("lib", "files"), "lib/libx.so\n");
    EXPECT_EQ(read("flash/PCKGS_CHANGED"), "");
    EXPECT_TRUE(box.exists("ram/MANIFEST"));
    EXPECT_EQ(temporaryFiles(box.snapshot()), std::vector<std::string>{});
}

TEST_F(UpgradeInstall, SafeRunThenCancelInstallsNothing) {
    upload("lib.vpa", libPackage());
    upload("app.vpa", makePackage(appRecipe()));
    TreeSnapshot before = box.snapshot();

    RunResult safe = upgradeRun({"--safe"});
    ASSERT_EQ(safe.exitStatus, 0) << safe.out << safe.err;
    const std::vector<std::string> staged = temporaryFiles(box.snapshot());
    EXPECT_FALSE(staged.empty()) << "the staged files wait in temporary files";

    RunResult cancelRun = box.runInstaller({"--cancel"}, "", RunMode::Chrooted);

    ASSERT_EQ(cancelRun.exitStatus, 0) << cancelRun.out << cancelRun.err;
    EXPECT_EQ(cancelRun.out, "");
    EXPECT_FALSE(box.exists("ram/MANIFEST"));
    // The manifest records plain moves, so cancelling it deletes none of
    // the temporary files; everything else is as before.
    std::vector<std::string> allowed = staged;
    allowed.push_back("flash/postlog");
    EXPECT_EQ(changesBesides(before, box.snapshot(), allowed), "");
}

}  // namespace
}  // namespace velmora
