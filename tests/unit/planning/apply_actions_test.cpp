#include "planning/apply_actions.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "pdb/package_db.h"
#include "planning/catalogue.h"
#include "planning_test_support.h"
#include "run/installer.h"
#include "storage/change_set.h"

namespace velmora {
namespace {

using planning_test::CatalogueFixture;
using planning_test::dep;
using planning_test::ver;

// A scratch database for the records' state files; the console output is
// captured so that status lines can be checked.
class ApplyActionsTest : public CatalogueFixture {
protected:
    void SetUp() override {
        CatalogueFixture::SetUp();
        char pattern[] = "/tmp/apply-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        setDbPaths({root_ + "/flash/var/pdb/", root_ + "/ram/pdb/", root_ + "/flash", root_ + "/flash/bootimage"});
    }
    void TearDown() override {
        cancel(changes_);
        setDbPaths({});
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
        CatalogueFixture::TearDown();
    }

    PackageRecord* record(const std::string& name, PendingAction action, bool disabled = false,
                          Version version = ver(1, 0)) {
        PackageRecord* added = add({.name = name, .version = version, .disabled = disabled});
        added->action = action;
        std::filesystem::create_directories(dbDirOf(*added));
        if (disabled) std::ofstream(dbDirOf(*added) + "disabled") << "user\n";
        return added;
    }

    bool run(int level) {
        ::testing::internal::CaptureStdout();
        bool result = applyActions(installer(), changes_, level);
        output_ = ::testing::internal::GetCapturedStdout();
        return result;
    }

    bool has(const std::string& path, FileOpKind kind) const {
        auto it = changes_.ops.find(path);
        return it != changes_.ops.end() && it->second.kind == kind;
    }

    std::string root_;
    ChangeSet changes_;
    std::string output_;
};

struct LevelRow {
    const char* name;
    int level;
    std::vector<std::string> messages;
    std::vector<std::string> shown;     // status lines that appear
    std::vector<std::string> notShown;  // status lines that must not
};

void PrintTo(const LevelRow& row, std::ostream* out) { *out << row.name; }

class ApplyLevelsTest : public ApplyActionsTest, public ::testing::WithParamInterface<LevelRow> {};

TEST_P(ApplyLevelsTest, ReportsByLevelAndAlwaysCarriesOut) {
    const LevelRow& row = GetParam();
    record("base", None);
    PackageRecord* off = record("off", Disable);
    PackageRecord* gone = record("gone", Uninstall);
    gone->files = {"/bin/gone"};
    std::filesystem::create_directories(root_ + "/flash/bin");
    std::ofstream(root_ + "/flash/bin/gone") << "x";
    PackageRecord* on = record("on", Enable, true);
    const std::string goneDir = dbDirOf(*gone);

    EXPECT_TRUE(run(row.level));

    EXPECT_EQ(installer().messages, row.messages);
    for (const std::string& text : row.shown) EXPECT_NE(output_.find(text), std::string::npos) << text;
    for (const std::string& text : row.notShown) EXPECT_EQ(output_.find(text), std::string::npos) << text;
    if (row.level == 0) {
        EXPECT_EQ(output_, "");
    }

    // Carried out whatever the level.
    EXPECT_TRUE(off->disabled);
    EXPECT_EQ(off->action, None);
    EXPECT_TRUE(has(dbDirOf(*off) + "disabled", FileOpKind::MoveTemp));
    EXPECT_FALSE(on->disabled);
    EXPECT_EQ(on->action, None);
    EXPECT_TRUE(has(dbDirOf(*on) + "disabled", FileOpKind::Unlink));
    EXPECT_EQ(findIndex(installer(), "gone"), -1);
    EXPECT_EQ(installer().packages.size(), 3u);
    EXPECT_TRUE(has(goneDir, FileOpKind::Unlink));
    EXPECT_TRUE(has(root_ + "/flash//bin/gone", FileOpKind::Unlink));
}

INSTANTIATE_TEST_SUITE_P(
    Levels, ApplyLevelsTest,
    ::testing::Values(
        LevelRow{"Silent", 0, {}, {}, {}},
        LevelRow{"EnableAndDisableProgress",
                 1,
                 {"disabled off-1.0", "enabled on-1.0"},
                 {"disabling off-1.0...", "enabling on-1.0..."},
                 {"uninstalling", "uninstalled"}},
        LevelRow{"UninstallProgressToo",
                 2,
                 {"disabled off-1.0", "uninstalled gone-1.0", "enabled on-1.0"},
                 {"disabling off-1.0...", "uninstalling gone-1.0...", "enabling on-1.0..."},
                 {}},
        LevelRow{"HigherLevelsAsTwo",
                 5,
                 {"disabled off-1.0", "uninstalled gone-1.0", "enabled on-1.0"},
                 {"uninstalling gone-1.0..."},
                 {}}),
    [](const ::testing::TestParamInfo<LevelRow>& info) { return std::string(info.param.name); });

TEST_F(ApplyActionsTest, NothingToDoIsFalseAndSilent) {
    record("a", None);
    record("b", None, true);
    EXPECT_FALSE(run(2));
    EXPECT_TRUE(changes_.ops.empty());
    EXPECT_EQ(output_, "");
    EXPECT_TRUE(installer().messages.empty());
}

TEST_F(ApplyActionsTest, ARefusedPlanAppliesNothing) {
    record("a", Uninstall);
    record("b", Disable);
    EXPECT_FALSE(run(1));
    EXPECT_TRUE(changes_.ops.empty());
    ASSERT_EQ(installer().packages.size(), 2u);
    for (const auto& r : installer().packages) {
        EXPECT_EQ(r->action, None);
        EXPECT_FALSE(r->disabled);
    }
    EXPECT_EQ(installer().messages, std::vector<std::string>{"ERROR: can not uninstall or disable all packages"});

    installer().messages.clear();
    installer().packages[0]->action = Uninstall;
    installer().packages[1]->action = Uninstall;
    EXPECT_FALSE(run(0));
    EXPECT_TRUE(installer().messages.empty());
    EXPECT_EQ(installer().packages.size(), 2u);
}

TEST_F(ApplyActionsTest, PlanningMessagesOnlyFromLevelOne) {
    for (int level : {0, 1}) {
        SCOPED_TRACE(level);
        installer().packages.clear();
        installer().messages.clear();
        record("a", Uninstall);
        add({.name = "b", .deps = {dep("a")}});
        EXPECT_FALSE(run(level));
        std::vector<std::string> expected;
        if (level == 1) expected.push_back("WARNING: can not uninstall a-1.0: b depends on it");
        EXPECT_EQ(installer().messages, expected);
    }
}

TEST_F(ApplyActionsTest, RemovalsComeBeforeEnables) {
    // b is enabled first in the catalogue, but a, which it conflicts with,
    // is disabled before it.
    record("b", Enable, true)->conflicts = {dep("a")};
    record("a", None);
    EXPECT_TRUE(run(1));
    EXPECT_EQ(installer().messages, (std::vector<std::string>{"disabled a-1.0", "enabled b-1.0"}));
}

TEST_F(ApplyActionsTest, UninstallTakesOutExactlyItsOwnSlot) {
    PackageRecord* kept = record("x", None, false, ver(1, 0));
    record("x", Uninstall, false, ver(2, 0));
    PackageRecord* after = record("y", None);
    EXPECT_TRUE(run(2));
    ASSERT_EQ(installer().packages.size(), 2u);
    EXPECT_EQ(installer().packages[0].get(), kept);
    EXPECT_EQ(installer().packages[1].get(), after);
    EXPECT_EQ(installer().messages, std::vector<std::string>{"uninstalled x-2.0"});
}

TEST_F(ApplyActionsTest, ApplyEnablesAloneEnablesInListOrder) {
    PackageRecord* first = record("first", None, true);
    PackageRecord* second = record("second", None, true);
    ::testing::internal::CaptureStdout();
    applyEnables(changes_, {second, first}, 1);
    output_ = ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(first->disabled);
    EXPECT_FALSE(second->disabled);
    EXPECT_EQ(installer().messages, (std::vector<std::string>{"enabled second-1.0", "enabled first-1.0"}));
    EXPECT_LT(output_.find("enabling second-1.0..."), output_.find("enabling first-1.0..."));
}

}  // namespace
}  // namespace velmora
