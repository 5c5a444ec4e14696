#include "planning/dependency_rules.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "planning_test_support.h"

namespace velmora {
namespace {

using planning_test::dep;
using planning_test::kAllOnes;
using planning_test::makeOffer;
using planning_test::PackageRecipe;
using planning_test::placeholder;
using planning_test::ver;

template <typename Row>
std::string rowName(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

// ---------------------------------------------------------------- sameName

struct NameRow {
    const char* name;
    std::string a;
    std::string b;
    bool expected;
};
void PrintTo(const NameRow& row, std::ostream* out) { *out << row.name; }

class SameNameTest : public ::testing::TestWithParam<NameRow> {};

TEST_P(SameNameTest, ComparesBytes) {
    const NameRow& row = GetParam();
    EXPECT_EQ(sameName(row.a, row.b), row.expected);
    EXPECT_EQ(sameName(row.b, row.a), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Rules, SameNameTest,
                         ::testing::Values(NameRow{"Equal", "stavel", "stavel", true},
                                           NameRow{"BothEmpty", "", "", true},
                                           NameRow{"CaseDiffers", "stavel", "Stavel", false},
                                           NameRow{"Prefix", "stavel", "stavelx", false},
                                           NameRow{"TrailingSpaceNotTrimmed", "stavel", "stavel ", false},
                                           NameRow{"EmbeddedZeroCounts", std::string("ab\0c", 4), "ab",
                                                   false}),
                         rowName<NameRow>);

// -------------------------------------------------------------- satisfies

struct SatisfiesRow {
    const char* name;
    PackageRecipe package;
    Dependency requirement;
    bool expected;
};
void PrintTo(const SatisfiesRow& row, std::ostream* out) { *out << row.name; }

class SatisfiesTest : public ::testing::TestWithParam<SatisfiesRow> {};

TEST_P(SatisfiesTest, Decides) {
    const SatisfiesRow& row = GetParam();
    auto package = makeOffer(row.package);
    EXPECT_EQ(satisfies(*package, row.requirement), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SatisfiesTest,
    ::testing::Values(
        SatisfiesRow{"NoBoundsAnyVersion", {.name = "x", .version = ver(6, 1)}, dep("x"), true},
        SatisfiesRow{"NoBoundsVersionZero", {.name = "x", .version = 0}, dep("x"), true},
        SatisfiesRow{"ExactRange", {.name = "x", .version = ver(6, 1)}, dep("x", ver(6, 1), ver(6, 1)), true},
        SatisfiesRow{"UpperBoundInclusive", {.name = "x", .version = ver(6, 1)}, dep("x", ver(6, 0), ver(6, 1)),
                     true},
        SatisfiesRow{"BelowMinimum", {.name = "x", .version = ver(6, 1)}, dep("x", ver(6, 2)), false},
        SatisfiesRow{"AboveMaximum", {.name = "x", .version = ver(6, 1)}, dep("x", 0, ver(6, 0)), false},
        SatisfiesRow{"ComparedUnsigned", {.name = "x", .version = 0xFFFF6600}, dep("x", ver(6, 0)), true},
        SatisfiesRow{"OtherName", {.name = "y", .version = ver(6, 1)}, dep("x"), false},
        SatisfiesRow{"NameCaseDiffers", {.name = "X", .version = ver(6, 1)}, dep("x"), false},
        SatisfiesRow{"ProvisionDoesNotSatisfy",
                     {.name = "y", .version = ver(6, 1), .provides = {dep("x")}},
                     dep("x"),
                     false}),
    rowName<SatisfiesRow>);

// ---------------------------------------------------------- rangesOverlap

struct OverlapRow {
    const char* name;
    Dependency entry;
    Dependency requirement;
    bool expected;
};
void PrintTo(const OverlapRow& row, std::ostream* out) { *out << row.name; }

class RangesOverlapTest : public ::testing::TestWithParam<OverlapRow> {};

TEST_P(RangesOverlapTest, Decides) {
    const OverlapRow& row = GetParam();
    EXPECT_EQ(rangesOverlap(row.entry, row.requirement), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RangesOverlapTest,
    ::testing::Values(
        OverlapRow{"ExactEntryOpenAbove", dep("x", ver(6, 1), ver(6, 1)), dep("x", ver(6, 0)), true},
        OverlapRow{"ExactEntryOpenBelow", dep("x", ver(6, 1), ver(6, 1)), dep("x", 0, ver(6, 1)), true},
        OverlapRow{"EntryBelowRequirement", dep("x", ver(6, 1), ver(6, 1)), dep("x", ver(6, 2)), false},
        OverlapRow{"EntryAboveRequirement", dep("x", ver(6, 1), ver(6, 1)), dep("x", 0, ver(6, 0)), false},
        OverlapRow{"TouchingBoundsOverlap", dep("x", ver(6, 0), ver(6, 1)), dep("x", ver(6, 1), ver(6, 2)),
                   true},
        OverlapRow{"UnboundedEntry", dep("x"), dep("x", ver(9, 0), ver(9, 1)), true},
        OverlapRow{"UnboundedRequirement", dep("x", ver(1, 0), ver(1, 0)), dep("x"), true},
        OverlapRow{"PriorityIgnored", dep("x", 0, 0, -5), dep("x"), true},
        OverlapRow{"OtherName", dep("y"), dep("x"), false},
        OverlapRow{"NameCaseDiffers", dep("X"), dep("x"), false}),
    rowName<OverlapRow>);

// ------------------------------------------------------------ providesFor

class ProvidesForTest : public ::testing::TestWithParam<SatisfiesRow> {};

TEST_P(ProvidesForTest, Decides) {
    const SatisfiesRow& row = GetParam();
    auto package = makeOffer(row.package);
    EXPECT_EQ(providesFor(*package, row.requirement), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ProvidesForTest,
    ::testing::Values(
        SatisfiesRow{"LaterEntryMatches", {.name = "p", .provides = {dep("y"), dep("x", ver(2, 0), ver(2, 0))}},
                     dep("x", ver(1, 0), ver(3, 0)), true},
        SatisfiesRow{"NoEntryInRange", {.name = "p", .provides = {dep("x", ver(1, 0), ver(1, 0))}},
                     dep("x", ver(2, 0)), false},
        SatisfiesRow{"OwnNameIsNoProvision", {.name = "x", .version = ver(1, 0)}, dep("x"), false},
        SatisfiesRow{"NoProvisions", {.name = "p"}, dep("x"), false}),
    rowName<SatisfiesRow>);

// ------------------------------------------------------- pairs of packages

struct PairRow {
    const char* name;
    PackageRecipe a;
    PackageRecipe b;
    int expected;
};
void PrintTo(const PairRow& row, std::ostream* out) { *out << row.name; }

class DependsOnTest : public ::testing::TestWithParam<PairRow> {};

TEST_P(DependsOnTest, Decides) {
    const PairRow& row = GetParam();
    auto a = makeOffer(row.a);
    auto b = makeOffer(row.b);
    EXPECT_EQ(dependsOn(*a, *b), row.expected != 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, DependsOnTest,
    ::testing::Values(
        PairRow{"RequirementMetByName", {.name = "a", .deps = {dep("b")}}, {.name = "b", .version = ver(1, 0)}, 1},
        PairRow{"RequirementMetByProvision", {.name = "a", .deps = {dep("x")}}, {.name = "b", .provides = {dep("x")}},
                1},
        PairRow{"VersionOutOfRange", {.name = "a", .deps = {dep("b", ver(2, 0))}}, {.name = "b", .version = ver(1, 0)},
                0},
        PairRow{"LaterRequirementMatches", {.name = "a", .deps = {dep("c"), dep("b")}}, {.name = "b"}, 1},
        PairRow{"NotSymmetric", {.name = "b"}, {.name = "a", .deps = {dep("b")}}, 0},
        PairRow{"ThroughMemberOfB", {.name = "a", .deps = {dep("m")}},
                {.name = "bundle", .members = {{.name = "m"}}}, 1},
        PairRow{"ThroughMemberOfA", {.name = "bundle", .members = {{.name = "m", .deps = {dep("b")}}}},
                {.name = "b"}, 1},
        PairRow{"BundleNeedsNothingOfItsOwn", {.name = "bundle", .members = {{.name = "m"}}}, {.name = "b"}, 0},
        PairRow{"Unrelated", {.name = "a"}, {.name = "b"}, 0}),
    rowName<PairRow>);

class ConflictsWithTest : public ::testing::TestWithParam<PairRow> {};

TEST_P(ConflictsWithTest, Decides) {
    const PairRow& row = GetParam();
    auto a = makeOffer(row.a);
    auto b = makeOffer(row.b);
    EXPECT_EQ(conflictsWith(*a, *b), row.expected != 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ConflictsWithTest,
    ::testing::Values(
        // Conflict lists: only the first argument's is read.
        PairRow{"ListNamesB", {.name = "a", .conflicts = {dep("b")}}, {.name = "b"}, 1},
        PairRow{"ListOfSecondIgnored", {.name = "b"}, {.name = "a", .conflicts = {dep("b")}}, 0},
        PairRow{"ListOutsideVersionRange", {.name = "a", .conflicts = {dep("b", ver(2, 0), ver(3, 0))}},
                {.name = "b", .version = ver(1, 0)}, 0},
        PairRow{"ListNameCaseDiffers", {.name = "a", .conflicts = {dep("B")}}, {.name = "b"}, 0},
        PairRow{"ListWinsOverProvisionOfA", {.name = "a", .conflicts = {dep("b")}},
                {.name = "b", .provides = {dep("a", 0, 0, 0)}}, 1},
        PairRow{"EmptyNamedConflictCarrier", {.name = "", .conflicts = {dep("b")}}, {.name = "b"}, 1},
        // b provides a's name: its first such entry decides by sign.
        PairRow{"BProvidesANegative", {.name = "a"}, {.name = "b", .provides = {dep("a", 0, 0, -1)}}, 1},
        PairRow{"BProvidesAZero", {.name = "a"}, {.name = "b", .provides = {dep("a", 0, 0, 0)}}, 0},
        PairRow{"BProvidesAClearsProvidedConflict", {.name = "a", .conflicts = {dep("x")}},
                {.name = "b", .provides = {dep("a", 0, 0, 0), dep("x")}}, 0},
        PairRow{"BProvidesAClearsMemberRule", {.name = "a"},
                {.name = "b", .provides = {dep("a", 0, 0, 0)}, .members = {{.name = "a"}}}, 0},
        PairRow{"FirstEntryForADecides", {.name = "a"},
                {.name = "b", .provides = {dep("a", 0, 0, 0), dep("a", 0, 0, -1)}}, 0},
        // a provides b's name.
        PairRow{"AProvidesBZero", {.name = "a", .provides = {dep("b", 0, 0, 0)}}, {.name = "b"}, 1},
        PairRow{"AProvidesBNegative", {.name = "a", .provides = {dep("b", 0, 0, -1)}}, {.name = "b"}, 0},
        PairRow{"AProvidesBDecidesBeforeLaterShared", {.name = "a", .provides = {dep("b", 0, 0, -1), dep("x", 0, 0, 5)}},
                {.name = "b", .provides = {dep("x", 0, 0, 0)}}, 0},
        // Both provide one name: the higher priority pushes the other out.
        PairRow{"SharedHigherFirst", {.name = "a", .provides = {dep("x", 0, 0, 2)}},
                {.name = "b", .provides = {dep("x", 0, 0, 1)}}, 1},
        PairRow{"SharedLowerFirst", {.name = "b", .provides = {dep("x", 0, 0, 1)}},
                {.name = "a", .provides = {dep("x", 0, 0, 2)}}, 0},
        PairRow{"SharedEqual", {.name = "a", .provides = {dep("x", 0, 0, 1)}},
                {.name = "b", .provides = {dep("x", 0, 0, 1)}}, 0},
        PairRow{"SharedComparedSigned", {.name = "a", .provides = {dep("x", 0, 0, 1)}},
                {.name = "b", .provides = {dep("x", 0, 0, -1)}}, 1},
        PairRow{"SharedNegativeBelowPositive", {.name = "a", .provides = {dep("x", 0, 0, -1)}},
                {.name = "b", .provides = {dep("x", 0, 0, 1)}}, 0},
        PairRow{"SharedBothNegative", {.name = "a", .provides = {dep("x", 0, 0, -1)}},
                {.name = "b", .provides = {dep("x", 0, 0, -2)}}, 1},
        PairRow{"FirstSharedEntryOfADecides", {.name = "a", .provides = {dep("x", 0, 0, 0), dep("y", 0, 0, 5)}},
                {.name = "b", .provides = {dep("y", 0, 0, 0), dep("x", 0, 0, 1)}}, 0},
        PairRow{"EqualSharedClearsProvidedConflict", {.name = "a", .provides = {dep("x", 0, 0, 0)}, .conflicts = {dep("x")}},
                {.name = "b", .provides = {dep("x", 0, 0, 0)}}, 0},
        // Conflict list against b's provisions.
        PairRow{"ListMeetsProvision", {.name = "a", .conflicts = {dep("x")}}, {.name = "b", .provides = {dep("x")}}, 1},
        PairRow{"ListMissesProvisionRange", {.name = "a", .conflicts = {dep("x", ver(2, 0))}},
                {.name = "b", .provides = {dep("x", ver(1, 0), ver(1, 0))}}, 0},
        // Bundles.
        PairRow{"BundleBHasMemberNamedA", {.name = "a"}, {.name = "bundle", .members = {{.name = "a"}}}, 1},
        PairRow{"BundleAHasMemberNamedB", {.name = "bundle", .members = {{.name = "b"}}}, {.name = "b"}, 0},
        PairRow{"MemberOfAConflicts", {.name = "bundle", .members = {{.name = "m", .conflicts = {dep("b")}}}},
                {.name = "b"}, 1},
        PairRow{"PlaceholderMemberOfAConflictsWithNothing",
                {.name = "bundle",
                 .members = {{.name = "m", .version = kAllOnes, .buildTime = kAllOnes, .conflicts = {dep("b")}}}},
                {.name = "b"}, 0},
        // Placeholders, in either position.
        PairRow{"PlaceholderFirst", {.name = "a", .version = kAllOnes, .buildTime = kAllOnes, .conflicts = {dep("b")}},
                {.name = "b"}, 0},
        PairRow{"PlaceholderSecond", {.name = "a", .conflicts = {dep("b")}}, placeholder("b"), 0},
        PairRow{"AllOnesVersionAloneIsNoPlaceholder", {.name = "a", .conflicts = {dep("b")}},
                {.name = "b", .version = kAllOnes, .buildTime = 0}, 1},
        PairRow{"AllOnesBuildAloneIsNoPlaceholder", {.name = "a", .buildTime = kAllOnes, .conflicts = {dep("b")}},
                {.name = "b"}, 1},
        PairRow{"Unrelated", {.name = "a", .provides = {dep("x")}}, {.name = "b", .provides = {dep("y")}}, 0}),
    rowName<PairRow>);

class CompareVersionsTest : public ::testing::TestWithParam<PairRow> {};

TEST_P(CompareVersionsTest, Orders) {
    const PairRow& row = GetParam();
    auto a = makeOffer(row.a);
    auto b = makeOffer(row.b);
    EXPECT_EQ(compareVersions(*a, *b), row.expected);
    EXPECT_EQ(compareForSelection(*a, *b, false), row.expected);
    EXPECT_EQ(compareForSelection(*a, *b, true), -row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, CompareVersionsTest,
    ::testing::Values(
        PairRow{"Newer", {.name = "x", .version = ver(6, 1)}, {.name = "x", .version = ver(6, 0)}, 1},
        PairRow{"Older", {.name = "x", .version = ver(6, 0)}, {.name = "x", .version = ver(6, 1)}, -1},
        PairRow{"ComparedUnsigned", {.name = "x", .version = 0x80000000}, {.name = "x", .version = ver(1, 0)}, 1},
        PairRow{"VersionBeatsBuildTime", {.name = "x", .version = ver(6, 1), .buildTime = 100},
                {.name = "x", .version = ver(6, 0), .buildTime = 200}, 1},
        PairRow{"LaterBuildNewer", {.name = "x", .version = ver(6, 1), .buildTime = 200},
                {.name = "x", .version = ver(6, 1), .buildTime = 100}, 1},
        PairRow{"EarlierBuildOlder", {.name = "x", .version = ver(6, 1), .buildTime = 100},
                {.name = "x", .version = ver(6, 1), .buildTime = 200}, -1},
        PairRow{"BuildTimeComparedUnsigned", {.name = "x", .version = ver(6, 1), .buildTime = 0x80000000},
                {.name = "x", .version = ver(6, 1), .buildTime = 1}, 1},
        PairRow{"SameVersionAndBuild", {.name = "x", .version = ver(6, 1), .buildTime = 7},
                {.name = "x", .version = ver(6, 1), .buildTime = 7}, 0},
        PairRow{"Unrelated", {.name = "x", .version = ver(6, 1)}, {.name = "y", .version = ver(1, 0)}, 0},
        PairRow{"NameCaseDiffersIsUnrelated", {.name = "x", .version = ver(6, 1)}, {.name = "X", .version = ver(1, 0)}, 0},
        PairRow{"BundleAThroughMemberNewer",
                {.name = "bundle", .version = ver(1, 0), .members = {{.name = "x", .version = ver(6, 1)}}},
                {.name = "x", .version = ver(6, 0)}, 1},
        PairRow{"BundleAThroughMemberOlder",
                {.name = "bundle", .version = ver(9, 0), .members = {{.name = "x", .version = ver(6, 0)}}},
                {.name = "x", .version = ver(6, 1)}, -1},
        PairRow{"BundleAFirstMemberOfNameDecides",
                {.name = "bundle",
                 .members = {{.name = "x", .version = ver(5, 0)}, {.name = "x", .version = ver(7, 0)}}},
                {.name = "x", .version = ver(6, 0)}, -1},
        PairRow{"BundleBThroughMemberNewer", {.name = "x", .version = ver(6, 0)},
                {.name = "bundle", .version = ver(9, 0), .members = {{.name = "x", .version = ver(6, 1)}}}, -1},
        PairRow{"BundleBThroughMemberOlder", {.name = "x", .version = ver(6, 1)},
                {.name = "bundle", .version = ver(1, 0), .members = {{.name = "x", .version = ver(6, 0)}}}, 1},
        PairRow{"BundleBThroughMemberBuildTime", {.name = "x", .version = ver(6, 1), .buildTime = 5},
                {.name = "bundle", .members = {{.name = "x", .version = ver(6, 1), .buildTime = 9}}}, -1},
        PairRow{"SameNameBeforeMembers",
                {.name = "x", .version = ver(2, 0), .members = {{.name = "x", .version = ver(1, 0)}}},
                {.name = "x", .version = ver(1, 5)}, 1},
        PairRow{"BundlesWithoutCommonNames", {.name = "b1", .members = {{.name = "m1"}}},
                {.name = "b2", .members = {{.name = "m2"}}}, 0}),
    rowName<PairRow>);

// ----------------------------------------------------------- isOrContains

struct ContainsRow {
    const char* name;
    PackageRecipe package;
    std::string wanted;
    bool expected;
};
void PrintTo(const ContainsRow& row, std::ostream* out) { *out << row.name; }

class IsOrContainsTest : public ::testing::TestWithParam<ContainsRow> {};

TEST_P(IsOrContainsTest, Decides) {
    const ContainsRow& row = GetParam();
    auto package = makeOffer(row.package);
    EXPECT_EQ(isOrContains(*package, row.wanted), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IsOrContainsTest,
    ::testing::Values(ContainsRow{"OwnName", {.name = "x"}, "x", true},
                      ContainsRow{"SecondMember", {.name = "b", .members = {{.name = "m"}, {.name = "x"}}}, "x", true},
                      ContainsRow{"ProvisionDoesNotCount", {.name = "b", .provides = {dep("x")}}, "x", false},
                      ContainsRow{"CaseDiffers", {.name = "b", .members = {{.name = "X"}}}, "x", false}),
    rowName<ContainsRow>);

}  // namespace
}  // namespace velmora
