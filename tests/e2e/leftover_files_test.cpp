// No staged file is left on the flash by any kind of run, except those a
// pending manifest still needs; a cancelled manifest takes its staged files
// with it and leaves uploaded package files where they were.

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/install_support.h"

namespace velmora {
namespace {

std::string pkg(const std::string& name, std::string_view version, std::vector<Dependency> conflicts = {}) {
    PackageRecipe recipe = packageRecipe(name, version, {regularFile("/bin/" + name, name + " " + std::string(version))});
    recipe.conflicts = std::move(conflicts);
    return makePackage(recipe);
}

class LeftoverFiles : public InstallTest {
public:
    // The scenario rows below drive the fixture from outside.
    void installed(const std::string& image) {
        RunResult run = streamInstall(image);
        ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    }
    using InstallTest::box;
    using InstallTest::read;
    using InstallTest::streamInstall;
    using InstallTest::upgradeRun;
    using InstallTest::upload;

protected:

    // The staged files that a pending manifest still names (its sources
    // inside the root), as paths relative to the root.
    std::set<std::string> neededByManifest() const {
        std::set<std::string> needed;
        std::istringstream manifest(box.readFile("ram/MANIFEST").value_or(""));
        std::string tag, target, source;
        std::string line;
        while (std::getline(manifest, line)) {
            std::istringstream words(line);
            if (words >> tag >> target >> source && tag == "M") needed.insert(source.substr(1));
        }
        return needed;
    }

    void expectNoStrayTemporaryFile() {
        const std::set<std::string> needed = neededByManifest();
        for (const std::string& path : temporaryFiles(box.snapshot())) {
            EXPECT_TRUE(needed.count(path) == 1) << "left behind: " << path;
        }
    }
};

struct RunRow {
    const char* name;
    std::function<void(LeftoverFiles&)> run;
};

void PrintTo(const RunRow& row, std::ostream* out) { *out << row.name; }

class LeftoverAfterRun : public LeftoverFiles, public testing::WithParamInterface<RunRow> {};

TEST_P(LeftoverAfterRun, OnlyWhatAPendingManifestNeeds) {
    installed(pkg("ntp", "6.1"));
    GetParam().run(*this);
    expectNoStrayTemporaryFile();
}

const RunRow kRuns[] = {
    {"SuccessfulUpgrade",
     [](LeftoverFiles& t) {
         t.upload("ntp-6.2.vpa", pkg("ntp", "6.2"));
         t.upload("dns-1.0.vpa", pkg("dns", "1.0"));
         EXPECT_EQ(t.upgradeRun().exitStatus, 0);
     }},
    {"FailedUpgrade",
     [](LeftoverFiles& t) {
         t.upload("dns-1.0.vpa", pkg("dns", "1.0"));
         std::string broken = pkg("web", "1.0");
         broken[broken.size() - 5] ^= 0x40;  // inside the signature
         t.upload("web-1.0.vpa", broken);
         RunResult run = t.upgradeRun();
         EXPECT_NE(run.out.find("installation of web-1.0 failed"), std::string::npos) << run.out;
         EXPECT_FALSE(t.box.exists("flash/bin/dns"));
     }},
    // The installed ntp 6.1.1 conflicts with chrony from 2.0 on: chrony 2.0 is
    // installed disabled (its "disabled" entry staged); ntp 6.2, without
    // that conflict, replaces 6.1.1, and the end of the run enables chrony
    // again, which drops the staged entry.
    {"ConflictEnabledAgainInTheSameRun",
     [](LeftoverFiles& t) {
         t.installed(pkg("ntp", "6.1.1", {Dependency{"chrony", ver("2.0"), 0, 0}}));
         t.installed(pkg("chrony", "1.0"));
         // ntp 6.2 needs a clock, which clockd and chrony 2.0 both provide:
         // clockd meets the requirement, chrony orders ntp after itself.
         const Dependency clock{"clock", 0, 0, 0};
         PackageRecipe clockd = packageRecipe("clockd", "1.0", {regularFile("/bin/clockd", "clockd")});
         clockd.provides = {clock};
         t.installed(makePackage(clockd));
         t.box.removeAll("flash/postlog");
         PackageRecipe chrony = packageRecipe("chrony", "2.0", {regularFile("/bin/chrony", "chrony 2.0")});
         chrony.provides = {clock};
         t.upload("chrony-2.0.vpa", makePackage(chrony));
         PackageRecipe ntp = packageRecipe("ntp", "6.2", {regularFile("/bin/ntp", "ntp 6.2")});
         ntp.deps = {needs("clock")};
         t.upload("ntp-6.2.vpa", makePackage(ntp));
         RunResult run = t.upgradeRun();
         EXPECT_EQ(run.exitStatus, 0) << run.out;
         EXPECT_EQ(t.box.readFile("flash/postlog").value_or(""),
                   "installed (disabled) chrony-2.0\ninstalled ntp-6.2\nenabled chrony-2.0\n");
         EXPECT_FALSE(t.box.exists("flash/var/pdb/chrony/disabled"));
     }},
    {"StreamInstall", [](LeftoverFiles& t) { EXPECT_EQ(t.streamInstall(pkg("dns", "1.0")).exitStatus, 0); }},
    {"SafeThenCommit",
     [](LeftoverFiles& t) {
         t.upload("ntp-6.2.vpa", pkg("ntp", "6.2"));
         EXPECT_EQ(t.upgradeRun({"--safe"}).exitStatus, 0);
         EXPECT_EQ(t.box.runInstaller({"--commit"}, "", RunMode::Chrooted).exitStatus, 0);
         EXPECT_EQ(t.read("flash/bin/ntp"), "ntp 6.2");
     }},
    {"SafeOnly",
     [](LeftoverFiles& t) {
         t.upload("ntp-6.2.vpa", pkg("ntp", "6.2"));
         EXPECT_EQ(t.upgradeRun({"--safe"}).exitStatus, 0);
         EXPECT_TRUE(t.box.exists("ram/MANIFEST"));
     }},
    {"Cleanup",
     [](LeftoverFiles& t) { EXPECT_EQ(t.box.runInstaller({"-r", t.box.path(), "--cleanup"}).exitStatus, 0); }},
    {"ScheduledActions",
     [](LeftoverFiles& t) {
         ASSERT_TRUE(t.box.writeFile("ram/pdb/ntp/schedule", "disable\n"));
         EXPECT_EQ(t.upgradeRun().exitStatus, 0);
     }},
};

INSTANTIATE_TEST_SUITE_P(Runs, LeftoverAfterRun, testing::ValuesIn(kRuns),
                         [](const testing::TestParamInfo<RunRow>& info) { return std::string(info.param.name); });

// --safe then --cancel: every staged file goes, every upload stays, and the
// flash is as it was before the --safe run.
TEST_F(LeftoverFiles, CancelDeletesStagedFilesAndKeepsUploads) {
    installed(pkg("ntp", "6.1"));
    PackageRecipe kept = packageRecipe("stavel", "6.2", {regularFile("/etc/motd", "6.2")});
    kept.keepImage = true;
    const std::string keptImage = makePackage(kept);
    upload("stavel-6.2.vpa", keptImage);
    upload("ntp-6.2.vpa", pkg("ntp", "6.2"));
    box.removeAll("flash/postlog");
    const TreeSnapshot before = box.snapshot();

    ASSERT_EQ(upgradeRun({"--safe"}).exitStatus, 0);
    ASSERT_FALSE(temporaryFiles(box.snapshot()).empty());
    RunResult cancel = box.runInstaller({"--cancel"}, "", RunMode::Chrooted);

    EXPECT_EQ(cancel.exitStatus, 0) << cancel.err;
    EXPECT_FALSE(box.exists("ram/MANIFEST"));
    EXPECT_EQ(read("flash/rw/pckg/stavel-6.2.vpa"), keptImage);
    EXPECT_TRUE(box.exists("flash/rw/pckg/ntp-6.2.vpa"));
    EXPECT_EQ(changesBesides(before, box.snapshot(), {"flash/postlog"}), "");
}

}  // namespace
}  // namespace velmora
