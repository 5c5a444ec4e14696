#include "planning/action_planning.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "pdb/version.h"
#include "planning/catalogue.h"
#include "planning_test_support.h"
#include "run/installer.h"

namespace velmora {
namespace {

using planning_test::CatalogueFixture;
using planning_test::dep;
using planning_test::ver;

// One catalogue record of a scenario, with its state and scheduled action.
struct Rec {
    std::string name;
    Version version = ver(1, 0);
    bool disabled = false;
    PendingAction action = None;
    std::vector<Dependency> deps{};
    std::vector<Dependency> provides{};
    std::vector<Dependency> conflicts{};
    std::string bundle{};  // bundleRef name
    bool isBundle = false;
    std::uint32_t buildTime = 0;
};

std::unique_ptr<PackageRecord> makeRecord(const Rec& rec) {
    auto record = std::make_unique<PackageRecord>(rec.name);
    record->version = rec.version;
    record->buildTime = rec.buildTime;
    record->disabled = rec.disabled;
    record->action = rec.action;
    record->deps = rec.deps;
    record->provides = rec.provides;
    record->conflicts = rec.conflicts;
    record->bundleRef.name = rec.bundle;
    record->isBundle = rec.isBundle;
    return record;
}

// The catalogue before, the expected actions, lists and messages after.
// Actions are written "label=word" for every record whose action is not
// None; lists as labels in list order.
struct PlanRow {
    const char* name;
    std::vector<Rec> catalogue;
    bool reporting = true;
    bool result = true;
    std::string actions{};
    std::string removals{};
    std::string enables{};
    std::vector<std::string> messages{};
};

void PrintTo(const PlanRow& row, std::ostream* out) { *out << row.name; }

std::string joinLabels(const std::vector<PackageRecord*>& list) {
    std::string text;
    for (const PackageRecord* record : list) text += (text.empty() ? "" : " ") + recordLabel(*record);
    return text;
}

std::string pendingActions(const Installer& installer) {
    std::string text;
    for (const auto& record : installer.packages) {
        if (record->action == None) continue;
        text += (text.empty() ? "" : " ") + recordLabel(*record) + "=" + actionWord(record->action);
    }
    return text;
}

class PlanActionsTest : public CatalogueFixture, public ::testing::WithParamInterface<PlanRow> {
protected:
    void load(const std::vector<Rec>& recs) {
        for (const Rec& rec : recs) installer().packages.push_back(makeRecord(rec));
    }
};

TEST_P(PlanActionsTest, Scenario) {
    const PlanRow& row = GetParam();
    load(row.catalogue);
    std::vector<PackageRecord*> removals;
    std::vector<PackageRecord*> enables;

    EXPECT_EQ(planActions(installer(), removals, enables, row.reporting), row.result);
    EXPECT_EQ(pendingActions(installer()), row.actions);
    EXPECT_EQ(joinLabels(removals), row.removals);
    EXPECT_EQ(joinLabels(enables), row.enables);
    EXPECT_EQ(installer().messages, row.messages);
}

INSTANTIATE_TEST_SUITE_P(
    Requirements, PlanActionsTest,
    ::testing::Values(
        PlanRow{.name = "NothingPendingNothingChanges",
                .catalogue = {{.name = "A"}, {.name = "B", .deps = {dep("A")}}, {.name = "C", .disabled = true}}},
        PlanRow{.name = "EmptyCatalogue", .catalogue = {}},
        PlanRow{.name = "UninstallOfARequiredPackageIsCancelled",
                .catalogue = {{.name = "A", .action = Uninstall}, {.name = "B", .deps = {dep("A")}}},
                .messages = {"WARNING: can not uninstall A-1.0: B depends on it"}},
        PlanRow{.name = "DisableOfARequiredPackageIsCancelled",
                .catalogue = {{.name = "B", .deps = {dep("A")}}, {.name = "A", .action = Disable}},
                .messages = {"WARNING: can not disable A-1.0: B depends on it"}},
        PlanRow{.name = "CancellationIsSilentWithoutReporting",
                .catalogue = {{.name = "A", .action = Uninstall}, {.name = "B", .deps = {dep("A")}}},
                .reporting = false},
        PlanRow{.name = "RequirementMetByAnotherProviderLetsTheUninstallGo",
                .catalogue = {{.name = "A", .action = Uninstall},
                              {.name = "P", .provides = {dep("A")}},
                              {.name = "B", .deps = {dep("A")}}},
                .actions = "A-1.0=uninstall",
                .removals = "A-1.0"},
        PlanRow{.name = "EnablingPullsInADisabledRequirementFirst",
                .catalogue = {{.name = "B", .disabled = true, .action = Enable, .deps = {dep("A")}},
                              {.name = "A", .disabled = true},
                              {.name = "base"}},
                .actions = "B-1.0=enable A-1.0=enable",
                .enables = "A-1.0 B-1.0"},
        PlanRow{.name = "TheNewestDisabledCandidateIsEnabled",
                .catalogue = {{.name = "A", .version = ver(2, 0), .disabled = true},
                              {.name = "A", .version = ver(1, 0), .disabled = true},
                              {.name = "B", .disabled = true, .action = Enable, .deps = {dep("A")}}},
                .actions = "A-2.0=enable B-1.0=enable",
                .enables = "A-2.0 B-1.0"},
        PlanRow{.name = "UninstallNeededOnlyByADisabledPackageTakesItAlong",
                .catalogue = {{.name = "A", .action = Uninstall},
                              {.name = "B", .disabled = true, .deps = {dep("A")}},
                              {.name = "base"}},
                .actions = "A-1.0=uninstall B-1.0=uninstall",
                .removals = "A-1.0 B-1.0"},
        PlanRow{.name = "AChainWithAMissingRequirementIsUninstalled",
                .catalogue = {{.name = "C", .deps = {dep("B")}},
                              {.name = "B", .deps = {dep("missing")}},
                              {.name = "base"}},
                .actions = "C-1.0=uninstall B-1.0=uninstall",
                .removals = "C-1.0 B-1.0"},
        PlanRow{.name = "ADisabledPackageWithoutCandidatesIsUninstalled",
                .catalogue = {{.name = "D", .disabled = true, .deps = {dep("missing")}}, {.name = "base"}},
                .actions = "D-1.0=uninstall",
                .removals = "D-1.0"},
        PlanRow{.name = "ARequirementOutsideTheRangeIsNotMet",
                .catalogue = {{.name = "A", .version = ver(1, 0)},
                              {.name = "B", .deps = {dep("A", ver(2, 0))}}},
                .actions = "B-1.0=uninstall",
                .removals = "B-1.0"},
        PlanRow{.name = "OnlyDisabledProvidersDisableTheEnabledPackage",
                .catalogue = {{.name = "A", .disabled = true, .action = Uninstall},
                              {.name = "X", .disabled = true, .action = Enable, .deps = {dep("A")}},
                              {.name = "B", .deps = {dep("X")}},
                              {.name = "base"}},
                // X keeps A, which stays disabled: X cannot be enabled after
                // all, and B, which needs X, is disabled with it.
                .actions = "X-1.0=disable B-1.0=disable",
                .removals = "X-1.0 B-1.0",
                .messages = {"WARNING: can not uninstall A-1.0: X depends on it"}},
        PlanRow{.name = "EnabledWithEnablePendingMeetsNoRequirement",
                .catalogue = {{.name = "A", .action = Enable}, {.name = "B", .deps = {dep("A")}}},
                .actions = "A-1.0=enable B-1.0=uninstall",
                .removals = "B-1.0",
                .enables = "A-1.0"}),
    [](const ::testing::TestParamInfo<PlanRow>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Cycles, PlanActionsTest,
    ::testing::Values(
        PlanRow{.name = "DisabledPackagesThatNeedEachOther",
                .catalogue = {{.name = "A", .disabled = true, .action = Enable, .deps = {dep("B")}},
                              {.name = "B", .disabled = true, .deps = {dep("A")}},
                              {.name = "base"}},
                .actions = "A-1.0=enable B-1.0=enable",
                .enables = "A-1.0 B-1.0"},
        PlanRow{.name = "ARingOfThreeDisabledPackages",
                .catalogue = {{.name = "A", .disabled = true, .deps = {dep("B")}},
                              {.name = "B", .disabled = true, .deps = {dep("C")}},
                              {.name = "C", .disabled = true, .deps = {dep("A")}},
                              {.name = "user", .deps = {dep("A")}}},
                .actions = "A-1.0=enable B-1.0=enable C-1.0=enable",
                .enables = "B-1.0 A-1.0 C-1.0"},
        PlanRow{.name = "DisabledPackagesThatNeedEachOtherBothScheduledForUninstall",
                .catalogue = {{.name = "R", .deps = {dep("C")}},
                              {.name = "C", .disabled = true, .action = Uninstall, .deps = {dep("D")}},
                              {.name = "D", .disabled = true, .action = Uninstall, .deps = {dep("C")}}},
                .actions = "C-1.0=enable D-1.0=enable",
                .enables = "C-1.0 D-1.0",
                .messages = {"WARNING: can not uninstall C-1.0: R depends on it",
                             "WARNING: can not uninstall D-1.0: C depends on it"}},
        PlanRow{.name = "ADisabledBundleRecordThatNamesItself",
                .catalogue = {{.name = "loop", .disabled = true, .bundle = "loop", .isBundle = true},
                              {.name = "app", .deps = {dep("loop")}}},
                .actions = "loop-1.0=enable",
                .enables = "loop-1.0"},
        PlanRow{.name = "DisabledRecordsNamingEachOtherAsBundle",
                .catalogue = {{.name = "M", .disabled = true, .bundle = "N"},
                              {.name = "N", .disabled = true, .bundle = "M"},
                              {.name = "app", .deps = {dep("M")}}},
                .actions = "M-1.0=enable N-1.0=enable",
                .enables = "N-1.0 M-1.0"}),
    [](const ::testing::TestParamInfo<PlanRow>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Conflicts, PlanActionsTest,
    ::testing::Values(
        PlanRow{.name = "EnablingDisablesAnEnabledPackageItConflictsWith",
                .catalogue = {{.name = "A"}, {.name = "B", .disabled = true, .action = Enable, .conflicts = {dep("A")}}},
                .actions = "A-1.0=disable B-1.0=enable",
                .removals = "A-1.0",
                .enables = "B-1.0"},
        PlanRow{.name = "EnablingDisablesAnEnabledPackageThatConflictsWithIt",
                .catalogue = {{.name = "A", .conflicts = {dep("B")}}, {.name = "B", .disabled = true, .action = Enable}},
                .actions = "A-1.0=disable B-1.0=enable",
                .removals = "A-1.0",
                .enables = "B-1.0"},
        PlanRow{.name = "OneSidedConflictCancelsTheEnableOfTheOtherSide",
                .catalogue = {{.name = "P", .disabled = true, .action = Enable},
                              {.name = "Q", .disabled = true, .action = Enable, .conflicts = {dep("P")}},
                              {.name = "base"}},
                .actions = "Q-1.0=enable",
                .enables = "Q-1.0",
                .messages = {"WARNING: can not enable P: Q-1.0 conflicts with it"}},
        PlanRow{.name = "OneSidedConflictWhicheverIsVisitedFirst",
                .catalogue = {{.name = "Q", .disabled = true, .action = Enable, .conflicts = {dep("P")}},
                              {.name = "P", .disabled = true, .action = Enable},
                              {.name = "base"}},
                .actions = "Q-1.0=enable",
                .enables = "Q-1.0",
                .messages = {"WARNING: can not enable P: Q-1.0 conflicts with it"}},
        PlanRow{.name = "MutualConflictKeepsBothEnables",
                .catalogue = {{.name = "P", .disabled = true, .action = Enable, .conflicts = {dep("Q")}},
                              {.name = "Q", .disabled = true, .action = Enable, .conflicts = {dep("P")}}},
                .actions = "P-1.0=enable Q-1.0=enable",
                .enables = "P-1.0 Q-1.0"},
        PlanRow{.name = "AnEnabledPackageDisablesWhatItConflictsWith",
                .catalogue = {{.name = "A", .conflicts = {dep("B")}}, {.name = "B"}},
                .actions = "B-1.0=disable",
                .removals = "B-1.0"},
        PlanRow{.name = "ADisabledConflictingPackageIsLeftAlone",
                .catalogue = {{.name = "A", .conflicts = {dep("B")}}, {.name = "B", .disabled = true}}},
        PlanRow{.name = "TheHigherPriorityProviderCancelsTheLowerOnesEnable",
                .catalogue = {{.name = "W", .disabled = true, .action = Enable, .provides = {dep("Z", 0, 0, 0)}},
                              {.name = "Y", .disabled = true, .action = Enable, .provides = {dep("Z", 0, 0, 1)}}},
                .actions = "Y-1.0=enable",
                .enables = "Y-1.0",
                .messages = {"WARNING: can not enable W: Y-1.0 conflicts with it"}}),
    [](const ::testing::TestParamInfo<PlanRow>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Bundles, PlanActionsTest,
    ::testing::Values(
        PlanRow{.name = "DisablingABundleDisablesItsMembersAndUninstallsItsRecord",
                .catalogue = {{.name = "m1", .bundle = "bun"},
                              {.name = "m2", .bundle = "bun"},
                              {.name = "bun", .action = Disable, .isBundle = true},
                              {.name = "base"}},
                .actions = "m1-1.0=disable m2-1.0=disable bun-1.0=uninstall",
                .removals = "m1-1.0 m2-1.0 bun-1.0"},
        PlanRow{.name = "UninstallingABundleUninstallsItsMembers",
                .catalogue = {{.name = "m1", .bundle = "bun"},
                              {.name = "m2", .action = Disable, .bundle = "bun"},
                              {.name = "bun", .action = Uninstall, .isBundle = true},
                              {.name = "base"}},
                .actions = "m1-1.0=uninstall m2-1.0=uninstall bun-1.0=uninstall",
                .removals = "m1-1.0 m2-1.0 bun-1.0"},
        PlanRow{.name = "EnablingABundleEnablesItsDisabledMembers",
                .catalogue = {{.name = "m1", .disabled = true, .bundle = "bun"},
                              {.name = "m2", .bundle = "bun"},
                              {.name = "bun", .disabled = true, .action = Enable, .isBundle = true}},
                .actions = "m1-1.0=enable bun-1.0=enable",
                .enables = "bun-1.0 m1-1.0"},
        PlanRow{.name = "AMemberNeedsItsBundleRecord",
                .catalogue = {{.name = "m1", .bundle = "bun"},
                              {.name = "bun", .disabled = true, .isBundle = true}},
                .actions = "bun-1.0=enable",
                .enables = "bun-1.0"},
        PlanRow{.name = "ABundleRecordWithoutMembersIsUninstalled",
                .catalogue = {{.name = "bun", .isBundle = true}, {.name = "base"}},
                .actions = "bun-1.0=uninstall",
                .removals = "bun-1.0"},
        PlanRow{.name = "ADisabledBundleWhoseMemberStaysDisabledKeepsNoEnable",
                .catalogue = {{.name = "X", .disabled = true, .action = Uninstall},
                              {.name = "m1", .disabled = true, .deps = {dep("X")}, .bundle = "bun"},
                              {.name = "bun", .disabled = true, .action = Enable, .isBundle = true},
                              {.name = "base"}},
                .actions = "m1-1.0=disable",
                .removals = "m1-1.0",
                .messages = {"WARNING: can not uninstall X-1.0: m1 depends on it"}},
        PlanRow{.name = "AMemberWithEnablePendingIsNotAnAvailableMember",
                .catalogue = {{.name = "m1", .action = Enable, .bundle = "bun"},
                              {.name = "bun", .isBundle = true}},
                .actions = "m1-1.0=enable bun-1.0=uninstall",
                .removals = "bun-1.0",
                .enables = "m1-1.0"}),
    [](const ::testing::TestParamInfo<PlanRow>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Refusal, PlanActionsTest,
    ::testing::Values(
        PlanRow{.name = "UninstallingEverythingIsRefused",
                .catalogue = {{.name = "A", .action = Uninstall},
                              {.name = "B", .action = Disable},
                              {.name = "C", .disabled = true}},
                .result = false,
                .messages = {"ERROR: can not uninstall or disable all packages"}},
        PlanRow{.name = "RefusalIsSilentWithoutReporting",
                .catalogue = {{.name = "A", .action = Uninstall}},
                .reporting = false,
                .result = false},
        PlanRow{.name = "AnEnabledRecordWithEnablePendingIsEnough",
                .catalogue = {{.name = "A", .action = Uninstall}, {.name = "B", .action = Enable}},
                .actions = "A-1.0=uninstall B-1.0=enable",
                .removals = "A-1.0",
                .enables = "B-1.0"}),
    [](const ::testing::TestParamInfo<PlanRow>& info) { return std::string(info.param.name); });

using PlanActionsListTest = CatalogueFixture;

TEST_F(PlanActionsListTest, AppendsToWhatTheListsAlreadyHold) {
    add({.name = "base"});
    PackageRecord* gone = add({.name = "gone"});
    gone->action = Uninstall;
    PackageRecord earlier("earlier");
    std::vector<PackageRecord*> removals{&earlier};
    std::vector<PackageRecord*> enables;

    ASSERT_TRUE(planActions(installer(), removals, enables, true));
    EXPECT_EQ(removals, (std::vector<PackageRecord*>{&earlier, gone}));
}

TEST_F(PlanActionsListTest, OfEqualSameNamedRecordsTheFirstIsEnabled) {
    add({.name = "base"});
    PackageRecord* first = add({.name = "a", .version = ver(2, 0), .disabled = true});
    PackageRecord* second = add({.name = "a", .version = ver(2, 0), .disabled = true});
    PackageRecord* older = add({.name = "a", .version = ver(1, 0), .disabled = true});
    first->action = second->action = older->action = Enable;
    std::vector<PackageRecord*> removals;
    std::vector<PackageRecord*> enables;

    ASSERT_TRUE(planActions(installer(), removals, enables, true));
    EXPECT_EQ(enables, std::vector<PackageRecord*>{first});
    EXPECT_TRUE(removals.empty());
}

TEST_F(PlanActionsListTest, PlaceholdersAreNotCandidatesNorMembers) {
    PackageRecord* holder = add({.name = "A", .version = 0xFFFFFFFF, .buildTime = 0xFFFFFFFF});
    add({.name = "B", .deps = {dep("A")}});
    PackageRecord* member = add({.name = "m", .version = 0xFFFFFFFF, .buildTime = 0xFFFFFFFF});
    member->bundleRef.name = "bun";
    PackageRecord* bundle = add({.name = "bun"});
    bundle->isBundle = true;
    std::vector<PackageRecord*> removals;
    std::vector<PackageRecord*> enables;

    ASSERT_TRUE(planActions(installer(), removals, enables, true));
    EXPECT_EQ(holder->action, None);
    EXPECT_EQ(find(installer(), "B")->action, Uninstall);
    EXPECT_EQ(bundle->action, Uninstall);
}

struct StateRow {
    const char* name;
    std::vector<Rec> candidates;
    DependencyState expected;
};

void PrintTo(const StateRow& row, std::ostream* out) { *out << row.name; }

class DependencyStateTest : public ::testing::TestWithParam<StateRow> {};

TEST_P(DependencyStateTest, Classifies) {
    std::vector<std::unique_ptr<PackageRecord>> owned;
    std::vector<PackageRecord*> candidates;
    for (const Rec& rec : GetParam().candidates) {
        owned.push_back(makeRecord(rec));
        candidates.push_back(owned.back().get());
    }
    EXPECT_EQ(dependencyState(candidates), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DependencyStateTest,
    ::testing::Values(
        StateRow{"NoCandidate", {}, DependencyState::Unmeetable},
        StateRow{"Enabled", {{.name = "a"}}, DependencyState::Met},
        StateRow{"DisabledBeingEnabled", {{.name = "a", .disabled = true, .action = Enable}}, DependencyState::Met},
        StateRow{"EnabledWithEnablePending", {{.name = "a", .action = Enable}}, DependencyState::Unmeetable},
        StateRow{"EnabledBeingUninstalled", {{.name = "a", .action = Uninstall}}, DependencyState::Unmeetable},
        StateRow{"EnabledBeingDisabled", {{.name = "a", .action = Disable}}, DependencyState::OnlyDisabled},
        StateRow{"DisabledBeingUninstalled", {{.name = "a", .disabled = true, .action = Uninstall}},
                 DependencyState::OnlyDisabled},
        StateRow{"AnyAvailableCandidateMeetsIt",
                 {{.name = "a", .disabled = true}, {.name = "b", .action = Uninstall}, {.name = "c"}},
                 DependencyState::Met}),
    [](const ::testing::TestParamInfo<StateRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora
