// The user's schedule under /ram/pdb/ carried out by an ordinary run with
// nothing uploaded, and the cleanup mode that uninstalls what was built for
// an older core package. The installed state is made by the installer
// itself, through the stream mode.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/install_support.h"

namespace velmora {
namespace {

class ScheduledActions : public InstallTest {
protected:
    void installed(const PackageRecipe& recipe) {
        RunResult run = streamInstall(makePackage(recipe));
        ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
        box.removeAll("flash/postlog");
        box.removeAll("flash/var/pdb/image");
    }

    void schedule(const std::string& name, const std::string& word) {
        ASSERT_TRUE(box.writeFile("ram/pdb/" + name + "/schedule", word + "\n"));
    }

    static PackageRecipe app(const std::string& name, std::string_view needsStavel) {
        PackageRecipe recipe = packageRecipe(name, "1.0", {regularFile("/bin/" + name, name)});
        if (!needsStavel.empty()) recipe.deps = {needs("stavel", needsStavel)};
        return recipe;
    }

    void SetUp() override {
        InstallTest::SetUp();
        if (IsSkipped()) return;
        installed(packageRecipe("stavel", "6.1", {regularFile("/bin/core", "core")}));
        installed(app("app", "6.0"));
    }
};

TEST_F(ScheduledActions, UninstallRemovesFilesDatabaseDirectoryAndImage) {
    // A package that keeps its image stores no file list of its own.
    PackageRecipe kept = packageRecipe("kept", "1.0");
    kept.keepImage = true;
    installed(kept);
    ASSERT_TRUE(box.exists("flash/var/pdb/kept/image"));
    schedule("app", "uninstall");
    schedule("kept", "uninstall");

    RunResult run = upgradeRun();

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_FALSE(box.exists("flash/bin/app"));
    EXPECT_FALSE(box.exists("flash/var/pdb/app"));
    EXPECT_FALSE(box.exists("flash/var/pdb/kept"));
    EXPECT_EQ(read("flash/bin/core"), "core");
    EXPECT_TRUE(box.exists("flash/var/pdb/stavel/version"));
    EXPECT_EQ(temporaryFiles(box.snapshot()), std::vector<std::string>{});
}

TEST_F(ScheduledActions, DisableThenEnableRecordTheStateOnly) {
    schedule("app", "disable");
    RunResult run = upgradeRun();
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(db("app", "disabled"), "user\n");
    EXPECT_FALSE(box.exists("flash/var/pdb/app/enabled"));
    EXPECT_EQ(read("flash/bin/app"), "app");
    EXPECT_EQ(postlog(), "disabled app-1.0\n");

    box.removeAll("flash/postlog");
    schedule("app", "enable");
    run = upgradeRun();
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_FALSE(box.exists("flash/var/pdb/app/disabled"));
    EXPECT_EQ(db("app", "enabled"), "user\n");
    EXPECT_EQ(postlog(), "enabled app-1.0\n");
}

TEST_F(ScheduledActions, RequiredPackageIsKeptWithAWarning) {
    schedule("stavel", "uninstall");
    TreeSnapshot before = box.snapshot();

    RunResult run = upgradeRun();

    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(postlog(), "WARNING: can not uninstall stavel-6.1: app depends on it\n");
    EXPECT_EQ(changesBesides(before, box.snapshot(), {"flash/postlog"}), "");
}

TEST_F(ScheduledActions, UnknownWordSchedulesNothing) {
    schedule("app", "remove");
    TreeSnapshot before = box.snapshot();

    RunResult run = upgradeRun();

    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(describeChanges(before, box.snapshot()), "");
}

// Packages that do not need stavel 3.22 or later go, apart from stavel
// itself, quillon and drive-kits; bundles are never looked at.
TEST_F(ScheduledActions, CleanupUninstallsWhatWasBuiltForAnOlderCore) {
    installed(app("old", "3.20"));
    installed(app("unrelated", ""));
    installed(app("quillon", ""));
    installed(app("exact", "3.22"));
    installed(app("newer", "3.22.1"));

    RunResult run = box.runInstaller({"-r", box.path(), "--cleanup"});

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    for (const char* gone : {"old", "unrelated"}) {
        EXPECT_FALSE(box.exists(std::string("flash/var/pdb/") + gone)) << gone;
        EXPECT_FALSE(box.exists(std::string("flash/bin/") + gone)) << gone;
    }
    for (const char* kept : {"stavel", "app", "quillon", "exact", "newer"}) {
        EXPECT_TRUE(box.exists(std::string("flash/var/pdb/") + kept + "/version")) << kept;
    }
    EXPECT_EQ(temporaryFiles(box.snapshot()), std::vector<std::string>{});
}

TEST_F(ScheduledActions, CleanupKeepsWhatAnotherPackageRequires) {
    installed(app("old", "3.20"));
    PackageRecipe user = app("user", "6.0");
    user.deps.push_back(needs("old"));
    installed(user);

    RunResult run = box.runInstaller({"-r", box.path(), "--cleanup"});

    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_TRUE(box.exists("flash/var/pdb/old/version"));
    EXPECT_EQ(read("flash/bin/old"), "old");
    EXPECT_NE(run.out.find("can not uninstall old-1.0: user depends on it"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace velmora
