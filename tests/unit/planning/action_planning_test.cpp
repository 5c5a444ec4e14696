#include "planning/action_planning.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "planning/catalogue.h"
#include "planning_test_support.h"

namespace velmora {
namespace {

using namespace planning_test;

// Scenario records are version 1.0 unless a row says otherwise.
Pkg r(std::string name) { return pkg(std::move(name), ver(1, 0)); }

// The catalogue before; after planning, "label=word" for every record with
// an action, the removal and enable lists, and the messages.
struct PlanRow {
    const char* name;
    std::vector<Pkg> catalogue;
    std::string actions{}, removals{}, enables{};
    std::vector<std::string> messages{};
    bool result = true;
    bool reporting = true;
};
void PrintTo(const PlanRow& row, std::ostream* out) { *out << row.name; }

std::string labels(const std::vector<PackageRecord*>& list) {
    std::string text;
    for (const PackageRecord* record : list) text += (text.empty() ? "" : " ") + recordLabel(*record);
    return text;
}

std::string pendingActions() {
    std::string text;
    for (const auto& record : Installer::instance().packages) {
        if (record->action == None) continue;
        text += (text.empty() ? "" : " ") + recordLabel(*record) + "=" + actionWord(record->action);
    }
    return text;
}

class PlanActionsTest : public CatalogueFixture, public ::testing::WithParamInterface<PlanRow> {};

TEST_P(PlanActionsTest, Scenario) {
    const PlanRow& row = GetParam();
    add(row.catalogue);
    std::vector<PackageRecord*> removals, enables;
    EXPECT_EQ(planActions(installer(), removals, enables, row.reporting), row.result);
    EXPECT_EQ(pendingActions(), row.actions);
    EXPECT_EQ(labels(removals), row.removals);
    EXPECT_EQ(labels(enables), row.enables);
    EXPECT_EQ(messages(), row.messages);
}

const Pkg base = r("base");

INSTANTIATE_TEST_SUITE_P(
    Rows, PlanActionsTest,
    ::testing::Values(
        // Requirements.
        PlanRow{"NothingPendingNothingChanges", {r("A"), r("B").needs("A"), r("C").off()}},
        PlanRow{"EmptyCatalogue", {}},
        PlanRow{"UninstallOfARequiredPackageIsCancelled", {r("A").act(Uninstall), r("B").needs("A")}, "", "", "",
                {"WARNING: can not uninstall A-1.0: B depends on it"}},
        PlanRow{"DisableOfARequiredPackageIsCancelled", {r("B").needs("A"), r("A").act(Disable)}, "", "", "",
                {"WARNING: can not disable A-1.0: B depends on it"}},
        PlanRow{"CancellationIsSilentWithoutReporting", {r("A").act(Uninstall), r("B").needs("A")}, "", "", "", {},
                true, false},
        PlanRow{"RequirementMetByAnotherProviderLetsTheUninstallGo",
                {r("A").act(Uninstall), r("P").gives("A"), r("B").needs("A")}, "A-1.0=uninstall", "A-1.0"},
        PlanRow{"EnablingPullsInADisabledRequirementFirst", {r("B").off().act(Enable).needs("A"), r("A").off(), base},
                "B-1.0=enable A-1.0=enable", "", "A-1.0 B-1.0"},
        PlanRow{"TheNewestDisabledCandidateIsEnabled",
                {pkg("A", ver(2, 0)).off(), r("A").off(), r("B").off().act(Enable).needs("A")},
                "A-2.0=enable B-1.0=enable", "", "A-2.0 B-1.0"},
        PlanRow{"UninstallNeededOnlyByADisabledPackageTakesItAlong",
                {r("A").act(Uninstall), r("B").off().needs("A"), base}, "A-1.0=uninstall B-1.0=uninstall",
                "A-1.0 B-1.0"},
        PlanRow{"AChainWithAMissingRequirementIsUninstalled", {r("C").needs("B"), r("B").needs("missing"), base},
                "C-1.0=uninstall B-1.0=uninstall", "C-1.0 B-1.0"},
        PlanRow{"ADisabledPackageWithoutCandidatesIsUninstalled", {r("D").off().needs("missing"), base},
                "D-1.0=uninstall", "D-1.0"},
        PlanRow{"ARequirementOutsideTheRangeIsNotMet", {r("A"), r("B").needs("A", ver(2, 0))}, "B-1.0=uninstall",
                "B-1.0"},
        // X keeps A, which stays disabled: X cannot be enabled after all, and
        // B, which needs X, is disabled with it.
        PlanRow{"OnlyDisabledProvidersDisableTheEnabledPackage",
                {r("A").off().act(Uninstall), r("X").off().act(Enable).needs("A"), r("B").needs("X"), base},
                "X-1.0=disable B-1.0=disable", "X-1.0 B-1.0", "",
                {"WARNING: can not uninstall A-1.0: X depends on it"}},
        PlanRow{"EnabledWithEnablePendingMeetsNoRequirement", {r("A").act(Enable), r("B").needs("A")},
                "A-1.0=enable B-1.0=uninstall", "B-1.0", "A-1.0"},
        PlanRow{"PlaceholdersAreNotCandidatesNorMembers",
                {placeholder("A"), r("B").needs("A"), placeholder("m").in("bun"), r("bun").bundle()},
                "B-1.0=uninstall bun-1.0=uninstall", "B-1.0 bun-1.0"},
        // Cycles.
        PlanRow{"DisabledPackagesThatNeedEachOther",
                {r("A").off().act(Enable).needs("B"), r("B").off().needs("A"), base}, "A-1.0=enable B-1.0=enable", "",
                "A-1.0 B-1.0"},
        PlanRow{"ARingOfThreeDisabledPackages",
                {r("A").off().needs("B"), r("B").off().needs("C"), r("C").off().needs("A"), r("user").needs("A")},
                "A-1.0=enable B-1.0=enable C-1.0=enable", "", "B-1.0 A-1.0 C-1.0"},
        PlanRow{"DisabledPackagesThatNeedEachOtherBothScheduledForUninstall",
                {r("R").needs("C"), r("C").off().act(Uninstall).needs("D"), r("D").off().act(Uninstall).needs("C")},
                "C-1.0=enable D-1.0=enable", "", "C-1.0 D-1.0",
                {"WARNING: can not uninstall C-1.0: R depends on it",
                 "WARNING: can not uninstall D-1.0: C depends on it"}},
        PlanRow{"ADisabledBundleRecordThatNamesItself", {r("loop").off().in("loop").bundle(), r("app").needs("loop")},
                "loop-1.0=enable", "", "loop-1.0"},
        PlanRow{"DisabledRecordsNamingEachOtherAsBundle",
                {r("M").off().in("N"), r("N").off().in("M"), r("app").needs("M")}, "M-1.0=enable N-1.0=enable", "",
                "N-1.0 M-1.0"},
        // Conflicts.
        PlanRow{"EnablingDisablesAnEnabledPackageItConflictsWith", {r("A"), r("B").off().act(Enable).clashes("A")},
                "A-1.0=disable B-1.0=enable", "A-1.0", "B-1.0"},
        PlanRow{"EnablingDisablesAnEnabledPackageThatConflictsWithIt", {r("A").clashes("B"), r("B").off().act(Enable)},
                "A-1.0=disable B-1.0=enable", "A-1.0", "B-1.0"},
        PlanRow{"OneSidedConflictCancelsTheEnableOfTheOtherSide",
                {r("P").off().act(Enable), r("Q").off().act(Enable).clashes("P"), base}, "Q-1.0=enable", "", "Q-1.0",
                {"WARNING: can not enable P: Q-1.0 conflicts with it"}},
        PlanRow{"OneSidedConflictWhicheverIsVisitedFirst",
                {r("Q").off().act(Enable).clashes("P"), r("P").off().act(Enable), base}, "Q-1.0=enable", "", "Q-1.0",
                {"WARNING: can not enable P: Q-1.0 conflicts with it"}},
        PlanRow{"MutualConflictKeepsBothEnables",
                {r("P").off().act(Enable).clashes("Q"), r("Q").off().act(Enable).clashes("P")},
                "P-1.0=enable Q-1.0=enable", "", "P-1.0 Q-1.0"},
        PlanRow{"AnEnabledPackageDisablesWhatItConflictsWith", {r("A").clashes("B"), r("B")}, "B-1.0=disable",
                "B-1.0"},
        PlanRow{"ADisabledConflictingPackageIsLeftAlone", {r("A").clashes("B"), r("B").off()}},
        PlanRow{"TheHigherPriorityProviderCancelsTheLowerOnesEnable",
                {r("W").off().act(Enable).gives("Z", 0, 0, 0), r("Y").off().act(Enable).gives("Z", 0, 0, 1)},
                "Y-1.0=enable", "", "Y-1.0", {"WARNING: can not enable W: Y-1.0 conflicts with it"}},
        // Bundles.
        PlanRow{"DisablingABundleDisablesItsMembersAndUninstallsItsRecord",
                {r("m1").in("bun"), r("m2").in("bun"), r("bun").act(Disable).bundle(), base},
                "m1-1.0=disable m2-1.0=disable bun-1.0=uninstall", "m1-1.0 m2-1.0 bun-1.0"},
        PlanRow{"UninstallingABundleUninstallsItsMembers",
                {r("m1").in("bun"), r("m2").act(Disable).in("bun"), r("bun").act(Uninstall).bundle(), base},
                "m1-1.0=uninstall m2-1.0=uninstall bun-1.0=uninstall", "m1-1.0 m2-1.0 bun-1.0"},
        PlanRow{"EnablingABundleEnablesItsDisabledMembers",
                {r("m1").off().in("bun"), r("m2").in("bun"), r("bun").off().act(Enable).bundle()},
                "m1-1.0=enable bun-1.0=enable", "", "bun-1.0 m1-1.0"},
        PlanRow{"AMemberNeedsItsBundleRecord", {r("m1").in("bun"), r("bun").off().bundle()}, "bun-1.0=enable", "",
                "bun-1.0"},
        PlanRow{"ABundleRecordWithoutMembersIsUninstalled", {r("bun").bundle(), base}, "bun-1.0=uninstall", "bun-1.0"},
        PlanRow{"ADisabledBundleWhoseMemberStaysDisabledKeepsNoEnable",
                {r("X").off().act(Uninstall), r("m1").off().needs("X").in("bun"), r("bun").off().act(Enable).bundle(),
                 base},
                "m1-1.0=disable", "m1-1.0", "", {"WARNING: can not uninstall X-1.0: m1 depends on it"}},
        PlanRow{"AMemberWithEnablePendingIsNotAnAvailableMember", {r("m1").act(Enable).in("bun"), r("bun").bundle()},
                "m1-1.0=enable bun-1.0=uninstall", "bun-1.0", "m1-1.0"},
        // Refusal.
        PlanRow{"UninstallingEverythingIsRefused", {r("A").act(Uninstall), r("B").act(Disable), r("C").off()}, "", "",
                "", {"ERROR: can not uninstall or disable all packages"}, false},
        PlanRow{"RefusalIsSilentWithoutReporting", {r("A").act(Uninstall)}, "", "", "", {}, false, false},
        PlanRow{"AnEnabledRecordWithEnablePendingIsEnough", {r("A").act(Uninstall), r("B").act(Enable)},
                "A-1.0=uninstall B-1.0=enable", "A-1.0", "B-1.0"}),
    rowName<PlanRow>);

using PlanActionsListTest = CatalogueFixture;

TEST_F(PlanActionsListTest, AppendsToWhatTheListsAlreadyHold) {
    add(r("base"));
    PackageRecord* gone = add(r("gone").act(Uninstall));
    PackageRecord earlier("earlier");
    std::vector<PackageRecord*> removals{&earlier}, enables;
    ASSERT_TRUE(planActions(installer(), removals, enables, true));
    EXPECT_EQ(removals, (std::vector<PackageRecord*>{&earlier, gone}));
}

// Of equal same-named records the first is enabled, the others passed over.
TEST_F(PlanActionsListTest, OfEqualSameNamedRecordsTheFirstIsEnabled) {
    add(r("base"));
    PackageRecord* first = add(pkg("a", ver(2, 0)).off().act(Enable));
    add({pkg("a", ver(2, 0)).off().act(Enable), r("a").off().act(Enable)});
    std::vector<PackageRecord*> removals, enables;
    ASSERT_TRUE(planActions(installer(), removals, enables, true));
    EXPECT_EQ(enables, std::vector<PackageRecord*>{first});
    EXPECT_TRUE(removals.empty());
}

struct StateRow {
    const char* name;
    std::vector<Pkg> candidates;
    DependencyState expected;
};

TEST(DependencyState, ClassifiesTheCandidates) {
    const StateRow rows[] = {
        {"NoCandidate", {}, DependencyState::Unmeetable},
        {"Enabled", {r("a")}, DependencyState::Met},
        {"DisabledBeingEnabled", {r("a").off().act(Enable)}, DependencyState::Met},
        {"EnabledWithEnablePending", {r("a").act(Enable)}, DependencyState::Unmeetable},
        {"EnabledBeingUninstalled", {r("a").act(Uninstall)}, DependencyState::Unmeetable},
        {"EnabledBeingDisabled", {r("a").act(Disable)}, DependencyState::OnlyDisabled},
        {"DisabledBeingUninstalled", {r("a").off().act(Uninstall)}, DependencyState::OnlyDisabled},
        {"AnyAvailableCandidateMeetsIt", {r("a").off(), r("b").act(Uninstall), r("c")}, DependencyState::Met},
    };
    for (const StateRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::unique_ptr<PackageRecord>> owned;
        std::vector<PackageRecord*> candidates;
        for (const Pkg& p : row.candidates) candidates.push_back(owned.emplace_back(makeRecord(p)).get());
        EXPECT_EQ(dependencyState(candidates), row.expected);
    }
}

}  // namespace
}  // namespace velmora
