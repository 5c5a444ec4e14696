#include "planning/apply_actions.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "planning/action_planning.h"
#include "planning_test_support.h"
#include "unit/pdb/scratch_root.h"

namespace velmora {
namespace {

using namespace planning_test;
using Messages = std::vector<std::string>;

// Records (version 1.0) with their database directories; the console output
// is captured so that status lines can be checked.
class ApplyActionsTest : public db_test::ScratchRoot {
protected:
    PackageRecord* record(Pkg p) {
        if (p.version == 0) p.version = ver(1, 0);
        PackageRecord* added = Installer::instance().packages.emplace_back(makeRecord(p)).get();
        std::filesystem::create_directories(dbDirOf(*added));
        if (added->disabled) put(dbDirOf(*added) + "disabled", "user\n");
        return added;
    }
    bool run(int level) {
        ::testing::internal::CaptureStdout();
        const bool result = applyActions(Installer::instance(), changes_, level);
        output_ = ::testing::internal::GetCapturedStdout();
        return result;
    }
    bool shows(const std::string& text) const { return output_.find(text) != std::string::npos; }
    static const Messages& messages() { return Installer::instance().messages; }
    // The catalogue as labels, "off" for a disabled record and the action
    // word of any action left.
    static std::string catalogue() {
        std::string text;
        for (const auto& r : Installer::instance().packages) {
            text += (text.empty() ? "" : ", ") + recordLabel(*r) + (r->disabled ? " off" : "") +
                    (r->action == None ? "" : std::string(" ") + actionWord(r->action));
        }
        return text;
    }

    std::string output_;
};

TEST_F(ApplyActionsTest, ReportsByLevelAndAlwaysCarriesOut) {
    for (int level : {0, 1, 2, 5}) {
        SCOPED_TRACE(level);
        resetInstaller();
        cancel(changes_);
        record(pkg("base"));
        record(pkg("off").act(Disable));
        record(pkg("gone").act(Uninstall))->files = {"/bin/gone"};
        put(root_ + "/flash/bin/gone", "x");
        record(pkg("on").act(Enable).off());

        EXPECT_TRUE(run(level));
        const Messages progress = {"disabled off-1.0", "enabled on-1.0"};
        const Messages all = {"disabled off-1.0", "uninstalled gone-1.0", "enabled on-1.0"};
        EXPECT_EQ(messages(), level == 0 ? Messages{} : level == 1 ? progress : all);
        EXPECT_EQ(shows("disabling off-1.0..."), level >= 1);
        EXPECT_EQ(shows("enabling on-1.0..."), level >= 1);
        EXPECT_EQ(shows("uninstalling gone-1.0..."), level >= 2);
        EXPECT_EQ(output_.empty(), level == 0);
        EXPECT_EQ(catalogue(), "base-1.0, off-1.0 off, on-1.0");
        EXPECT_EQ(ops(), "U /flash//bin/gone, U /flash/var/pdb/gone/, T /flash/var/pdb/off/disabled, "
                         "U /flash/var/pdb/on/disabled");
    }
}

// A refused plan applies nothing; its messages, as the planner's other
// messages, come from level one on. Nothing to do is false and silent.
TEST_F(ApplyActionsTest, ARefusedPlanOrNothingToDoAppliesNothing) {
    for (int level : {0, 1}) {
        SCOPED_TRACE(level);
        resetInstaller();
        record(pkg("a").act(Uninstall));
        record(pkg("b").act(Disable));
        EXPECT_FALSE(run(level));
        EXPECT_EQ(catalogue(), "a-1.0, b-1.0");
        EXPECT_EQ(ops(), "");
        EXPECT_EQ(messages(), level ? Messages{"ERROR: can not uninstall or disable all packages"} : Messages{});

        resetInstaller();
        record(pkg("a").act(Uninstall));
        record(pkg("b").needs("a"));
        EXPECT_FALSE(run(level));
        EXPECT_EQ(messages(), level ? Messages{"WARNING: can not uninstall a-1.0: b depends on it"} : Messages{});
    }
    resetInstaller();
    record(pkg("a"));
    record(pkg("b").off());
    EXPECT_FALSE(run(2));
    EXPECT_TRUE(ops().empty() && output_.empty() && messages().empty());
}

TEST_F(ApplyActionsTest, RemovalsComeBeforeEnables) {
    // b comes first in the catalogue, but a, which it conflicts with, is
    // disabled before b is enabled.
    record(pkg("b").act(Enable).off().clashes("a"));
    record(pkg("a"));
    EXPECT_TRUE(run(1));
    EXPECT_EQ(messages(), (Messages{"disabled a-1.0", "enabled b-1.0"}));
}

TEST_F(ApplyActionsTest, UninstallTakesOutExactlyItsOwnSlot) {
    PackageRecord* kept = record(pkg("x"));
    record(pkg("x", ver(2, 0)).act(Uninstall));
    record(pkg("y"));
    EXPECT_TRUE(run(2));
    EXPECT_EQ(catalogue(), "x-1.0, y-1.0");
    EXPECT_EQ(Installer::instance().packages[0].get(), kept);
    EXPECT_EQ(messages(), Messages{"uninstalled x-2.0"});
}

TEST_F(ApplyActionsTest, ApplyEnablesAloneEnablesInListOrder) {
    PackageRecord* first = record(pkg("first").off());
    PackageRecord* second = record(pkg("second").off());
    ::testing::internal::CaptureStdout();
    applyEnables(changes_, {second, first}, 1);
    output_ = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(catalogue(), "first-1.0, second-1.0");
    EXPECT_EQ(messages(), (Messages{"enabled second-1.0", "enabled first-1.0"}));
    EXPECT_LT(output_.find("enabling second-1.0..."), output_.find("enabling first-1.0..."));
}

}  // namespace
}  // namespace velmora
