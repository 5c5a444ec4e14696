#include "planning/dependency_rules.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>

#include "planning_test_support.h"

namespace velmora {
namespace {

using namespace planning_test;

TEST(SameName, ComparesBytesBothWays) {
    const std::tuple<std::string, std::string, bool> rows[] = {
        {"stavel", "stavel", true},   {"", "", true},
        {"stavel", "Stavel", false},  {"stavel", "stavelx", false},
        {"stavel", "stavel ", false}, {std::string("ab\0c", 4), "ab", false},  // an embedded zero counts
    };
    for (const auto& [a, b, expected] : rows) {
        SCOPED_TRACE(a + "|" + b);
        EXPECT_EQ(sameName(a, b), expected);
        EXPECT_EQ(sameName(b, a), expected);
    }
}

// One rule applied to one package and one dependency entry.
struct EntryRow {
    const char* name;
    bool (*rule)(const PackageInfo&, const Dependency&);
    Pkg package;
    Dependency entry;
    bool expected;
};
void PrintTo(const EntryRow& row, std::ostream* out) { *out << row.name; }

class EntryRuleTest : public ::testing::TestWithParam<EntryRow> {};

TEST_P(EntryRuleTest, Decides) {
    EXPECT_EQ(GetParam().rule(*makeOffer(GetParam().package), GetParam().entry), GetParam().expected);
}

bool overlap(const PackageInfo& holder, const Dependency& d) { return rangesOverlap(holder.provides.at(0), d); }
bool containsName(const PackageInfo& p, const Dependency& d) { return isOrContains(p, d.name); }

const Pkg x61 = pkg("x", ver(6, 1));
// A package whose only provision is the entry of a rangesOverlap row.
Pkg entry(Dependency e) { return pkg("e").gives(e.name, e.min, e.max, e.priority); }
const Pkg exactly61 = entry(dep("x", ver(6, 1), ver(6, 1)));

INSTANTIATE_TEST_SUITE_P(
    Rules, EntryRuleTest,
    ::testing::Values(
        EntryRow{"SatisfiesWithoutBounds", satisfies, x61, dep("x"), true},
        EntryRow{"SatisfiesVersionZero", satisfies, pkg("x"), dep("x"), true},
        EntryRow{"SatisfiesExactRange", satisfies, x61, dep("x", ver(6, 1), ver(6, 1)), true},
        EntryRow{"SatisfiesUpperBoundInclusive", satisfies, x61, dep("x", ver(6, 0), ver(6, 1)), true},
        EntryRow{"SatisfiesNotBelowMinimum", satisfies, x61, dep("x", ver(6, 2)), false},
        EntryRow{"SatisfiesNotAboveMaximum", satisfies, x61, dep("x", 0, ver(6, 0)), false},
        EntryRow{"SatisfiesComparesUnsigned", satisfies, pkg("x", 0xFFFF6600), dep("x", ver(6, 0)), true},
        EntryRow{"SatisfiesNotOtherName", satisfies, pkg("y", ver(6, 1)), dep("x"), false},
        EntryRow{"SatisfiesNameCaseSensitive", satisfies, pkg("X", ver(6, 1)), dep("x"), false},
        EntryRow{"SatisfiesNotByProvision", satisfies, pkg("y", ver(6, 1)).gives("x"), dep("x"), false},
        EntryRow{"OverlapExactEntryOpenAbove", overlap, exactly61, dep("x", ver(6, 0)), true},
        EntryRow{"OverlapExactEntryOpenBelow", overlap, exactly61, dep("x", 0, ver(6, 1)), true},
        EntryRow{"OverlapNotEntryBelow", overlap, exactly61, dep("x", ver(6, 2)), false},
        EntryRow{"OverlapNotEntryAbove", overlap, exactly61, dep("x", 0, ver(6, 0)), false},
        EntryRow{"OverlapTouchingBounds", overlap, entry(dep("x", ver(6, 0), ver(6, 1))),
                 dep("x", ver(6, 1), ver(6, 2)), true},
        EntryRow{"OverlapUnboundedEntry", overlap, entry(dep("x")), dep("x", ver(9, 0), ver(9, 1)), true},
        EntryRow{"OverlapUnboundedRequirement", overlap, entry(dep("x", ver(1, 0), ver(1, 0))), dep("x"), true},
        EntryRow{"OverlapIgnoresPriority", overlap, entry(dep("x", 0, 0, -5)), dep("x"), true},
        EntryRow{"OverlapNotOtherName", overlap, entry(dep("y")), dep("x"), false},
        EntryRow{"OverlapNameCaseSensitive", overlap, entry(dep("X")), dep("x"), false},
        EntryRow{"ProvidesForLaterEntry", providesFor, pkg("p").gives("y").gives("x", ver(2, 0), ver(2, 0)),
                 dep("x", ver(1, 0), ver(3, 0)), true},
        EntryRow{"ProvidesForNoEntryInRange", providesFor, pkg("p").gives("x", ver(1, 0), ver(1, 0)),
                 dep("x", ver(2, 0)), false},
        EntryRow{"ProvidesForNotOwnName", providesFor, x61, dep("x"), false},
        EntryRow{"ContainsOwnName", containsName, pkg("x"), dep("x"), true},
        EntryRow{"ContainsSecondMember", containsName, pkg("b").member(pkg("m")).member(pkg("x")), dep("x"), true},
        EntryRow{"ContainsNotByProvision", containsName, pkg("b").gives("x"), dep("x"), false},
        EntryRow{"ContainsNameCaseSensitive", containsName, pkg("b").member(pkg("X")), dep("x"), false}),
    rowName<EntryRow>);

// One rule applied to a pair of packages.
struct PairRow {
    const char* name;
    int (*rule)(const PackageInfo&, const PackageInfo&);
    Pkg a, b;
    int expected;
};
void PrintTo(const PairRow& row, std::ostream* out) { *out << row.name; }

class PairRuleTest : public ::testing::TestWithParam<PairRow> {};

TEST_P(PairRuleTest, Decides) {
    EXPECT_EQ(GetParam().rule(*makeOffer(GetParam().a), *makeOffer(GetParam().b)), GetParam().expected);
}

int depends(const PackageInfo& a, const PackageInfo& b) { return dependsOn(a, b); }
int conflicts(const PackageInfo& a, const PackageInfo& b) { return conflictsWith(a, b); }
// compareVersions, checked against compareForSelection both ways.
int order(const PackageInfo& a, const PackageInfo& b) {
    const int result = compareVersions(a, b);
    EXPECT_EQ(compareForSelection(a, b, false), result);
    EXPECT_EQ(compareForSelection(a, b, true), -result);
    return result;
}

const Pkg a = pkg("a"), b = pkg("b");
Pkg bundleOf(const Pkg& member) { return pkg("bundle").member(member); }

INSTANTIATE_TEST_SUITE_P(
    DependsOn, PairRuleTest,
    ::testing::Values(
        PairRow{"ByName", depends, a.needs("b"), pkg("b", ver(1, 0)), 1},
        PairRow{"ByProvision", depends, a.needs("x"), b.gives("x"), 1},
        PairRow{"NotOutOfRange", depends, a.needs("b", ver(2, 0)), pkg("b", ver(1, 0)), 0},
        PairRow{"LaterRequirement", depends, a.needs("c").needs("b"), b, 1},
        PairRow{"NotSymmetric", depends, b, a.needs("b"), 0},
        PairRow{"ThroughMemberOfB", depends, a.needs("m"), bundleOf(pkg("m")), 1},
        PairRow{"ThroughMemberOfA", depends, bundleOf(pkg("m").needs("b")), b, 1},
        PairRow{"NotBundleItself", depends, bundleOf(pkg("m")), b, 0}),
    rowName<PairRow>);

INSTANTIATE_TEST_SUITE_P(
    ConflictsWith, PairRuleTest,
    ::testing::Values(
        // Conflict lists: only the first argument's is read.
        PairRow{"ListNamesB", conflicts, a.clashes("b"), b, 1},
        PairRow{"ListOfSecondIgnored", conflicts, b, a.clashes("b"), 0},
        PairRow{"ListOutsideVersionRange", conflicts, a.clashes("b", ver(2, 0), ver(3, 0)), pkg("b", ver(1, 0)), 0},
        PairRow{"ListNameCaseDiffers", conflicts, a.clashes("B"), b, 0},
        PairRow{"ListWinsOverProvisionOfA", conflicts, a.clashes("b"), b.gives("a"), 1},
        PairRow{"EmptyNamedConflictCarrier", conflicts, pkg("").clashes("b"), b, 1},
        // b provides a's name: its first such entry decides by sign.
        PairRow{"BProvidesANegative", conflicts, a, b.gives("a", 0, 0, -1), 1},
        PairRow{"BProvidesAZero", conflicts, a, b.gives("a"), 0},
        PairRow{"BProvidesAClearsProvidedConflict", conflicts, a.clashes("x"), b.gives("a").gives("x"), 0},
        PairRow{"BProvidesAClearsMemberRule", conflicts, a, b.gives("a").member(a), 0},
        PairRow{"FirstEntryForADecides", conflicts, a, b.gives("a").gives("a", 0, 0, -1), 0},
        // a provides b's name.
        PairRow{"AProvidesBZero", conflicts, a.gives("b"), b, 1},
        PairRow{"AProvidesBNegative", conflicts, a.gives("b", 0, 0, -1), b, 0},
        PairRow{"AProvidesBDecidesBeforeLaterShared", conflicts, a.gives("b", 0, 0, -1).gives("x", 0, 0, 5),
                b.gives("x"), 0},
        // Both provide one name: the higher priority pushes the other out.
        PairRow{"SharedHigherFirst", conflicts, a.gives("x", 0, 0, 2), b.gives("x", 0, 0, 1), 1},
        PairRow{"SharedLowerFirst", conflicts, b.gives("x", 0, 0, 1), a.gives("x", 0, 0, 2), 0},
        PairRow{"SharedEqual", conflicts, a.gives("x", 0, 0, 1), b.gives("x", 0, 0, 1), 0},
        PairRow{"SharedComparedSigned", conflicts, a.gives("x", 0, 0, 1), b.gives("x", 0, 0, -1), 1},
        PairRow{"SharedNegativeBelowPositive", conflicts, a.gives("x", 0, 0, -1), b.gives("x", 0, 0, 1), 0},
        PairRow{"SharedBothNegative", conflicts, a.gives("x", 0, 0, -1), b.gives("x", 0, 0, -2), 1},
        PairRow{"FirstSharedEntryOfADecides", conflicts, a.gives("x").gives("y", 0, 0, 5),
                b.gives("y").gives("x", 0, 0, 1), 0},
        PairRow{"EqualSharedClearsProvidedConflict", conflicts, a.gives("x").clashes("x"), b.gives("x"), 0},
        // Conflict list against b's provisions.
        PairRow{"ListMeetsProvision", conflicts, a.clashes("x"), b.gives("x"), 1},
        PairRow{"ListMissesProvisionRange", conflicts, a.clashes("x", ver(2, 0)), b.gives("x", ver(1, 0), ver(1, 0)),
                0},
        // Bundles.
        PairRow{"BundleBHasMemberNamedA", conflicts, a, bundleOf(a), 1},
        PairRow{"BundleAHasMemberNamedB", conflicts, bundleOf(b), b, 0},
        PairRow{"MemberOfAConflicts", conflicts, bundleOf(pkg("m").clashes("b")), b, 1},
        PairRow{"PlaceholderMemberOfAConflictsWithNothing", conflicts, bundleOf(placeholder("m").clashes("b")), b, 0},
        // Placeholders, in either position; all-ones in only one field is none.
        PairRow{"PlaceholderFirst", conflicts, placeholder("a").clashes("b"), b, 0},
        PairRow{"PlaceholderSecond", conflicts, a.clashes("b"), placeholder("b"), 0},
        PairRow{"AllOnesVersionAloneIsNoPlaceholder", conflicts, a.clashes("b"), pkg("b", kAllOnes), 1},
        PairRow{"AllOnesBuildAloneIsNoPlaceholder", conflicts, a.built(kAllOnes).clashes("b"), b, 1},
        PairRow{"Unrelated", conflicts, a.gives("x"), b.gives("y"), 0}),
    rowName<PairRow>);

const Pkg x60 = pkg("x", ver(6, 0));

INSTANTIATE_TEST_SUITE_P(
    CompareVersions, PairRuleTest,
    ::testing::Values(
        PairRow{"Newer", order, x61, x60, 1},
        PairRow{"Older", order, x60, x61, -1},
        PairRow{"ComparedUnsigned", order, pkg("x", 0x80000000), pkg("x", ver(1, 0)), 1},
        PairRow{"VersionBeatsBuildTime", order, x61.built(100), x60.built(200), 1},
        PairRow{"LaterBuildNewer", order, x61.built(200), x61.built(100), 1},
        PairRow{"EarlierBuildOlder", order, x61.built(100), x61.built(200), -1},
        PairRow{"BuildTimeComparedUnsigned", order, x61.built(0x80000000), x61.built(1), 1},
        PairRow{"SameVersionAndBuild", order, x61.built(7), x61.built(7), 0},
        PairRow{"Unrelated", order, x61, pkg("y", ver(1, 0)), 0},
        PairRow{"NameCaseDiffersIsUnrelated", order, x61, pkg("X", ver(1, 0)), 0},
        PairRow{"BundleAThroughMemberNewer", order, pkg("bundle", ver(1, 0)).member(x61), x60, 1},
        PairRow{"BundleAThroughMemberOlder", order, pkg("bundle", ver(9, 0)).member(x60), x61, -1},
        PairRow{"BundleAFirstMemberOfNameDecides", order,
                pkg("bundle").member(pkg("x", ver(5, 0))).member(pkg("x", ver(7, 0))), x60, -1},
        PairRow{"BundleBThroughMemberNewer", order, x60, pkg("bundle", ver(9, 0)).member(x61), -1},
        PairRow{"BundleBThroughMemberOlder", order, x61, pkg("bundle", ver(1, 0)).member(x60), 1},
        PairRow{"BundleBThroughMemberBuildTime", order, x61.built(5), bundleOf(x61.built(9)), -1},
        PairRow{"SameNameBeforeMembers", order, pkg("x", ver(2, 0)).member(pkg("x", ver(1, 0))), pkg("x", ver(1, 5)),
                1},
        PairRow{"BundlesWithoutCommonNames", order, pkg("b1").member(pkg("m1")), pkg("b2").member(pkg("m2")), 0}),
    rowName<PairRow>);

}  // namespace
}  // namespace velmora
