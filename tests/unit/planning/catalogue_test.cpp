#include "planning/catalogue.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <vector>

#include "planning_test_support.h"

namespace velmora {
namespace {

using planning_test::CatalogueFixture;
using planning_test::dep;
using planning_test::makeOffer;
using planning_test::placeholder;
using planning_test::ver;

using CatalogueTest = CatalogueFixture;

TEST_F(CatalogueTest, FindByNameTakesTheFirstOfEqualNames) {
    EXPECT_EQ(findIndex(installer(), "a"), -1);
    EXPECT_EQ(find(installer(), "a"), nullptr);

    add({.name = "b"});
    PackageRecord* first = add({.name = "a", .version = ver(1, 0)});
    add({.name = "a", .version = ver(2, 0)});

    EXPECT_EQ(findIndex(installer(), "a"), 1);
    EXPECT_EQ(find(installer(), "a"), first);
    EXPECT_EQ(findIndex(installer(), "A"), -1);
    EXPECT_EQ(findIndex(installer(), ""), -1);
}

TEST_F(CatalogueTest, FindByNameIncludesDisabledAndPlaceholders) {
    add({.name = "a", .disabled = true});
    add(placeholder("p"));
    EXPECT_EQ(findIndex(installer(), "a"), 0);
    EXPECT_EQ(findIndex(installer(), "p"), 1);
}

TEST_F(CatalogueTest, NamedOrProvidingPrefersTheFirstEnabledMatch) {
    add({.name = "x", .disabled = true});
    add({.name = "other"});
    PackageRecord* enabled = add({.name = "p", .provides = {dep("x", ver(6, 1), ver(6, 1))}});
    add({.name = "x"});

    EXPECT_EQ(findNamedOrProviding(installer(), "x"), enabled);
}

TEST_F(CatalogueTest, NamedOrProvidingFallsBackToTheLastDisabledMatch) {
    add({.name = "x", .disabled = true});
    PackageRecord* last = add({.name = "p", .provides = {dep("x")}, .disabled = true});
    add({.name = "unrelated"});

    EXPECT_EQ(findNamedOrProviding(installer(), "x"), last);
    EXPECT_EQ(findNamedOrProviding(installer(), "X"), nullptr);
    EXPECT_EQ(findNamedOrProviding(installer(), "y"), nullptr);
}

TEST_F(CatalogueTest, NamedOrProvidingCountsPlaceholders) {
    PackageRecord* held = add(placeholder("x"));
    EXPECT_EQ(findNamedOrProviding(installer(), "x"), held);
}

TEST_F(CatalogueTest, FindConflictingReadsTheRecordsConflictList) {
    auto offer = makeOffer({.name = "a", .conflicts = {dep("b")}});
    add({.name = "b"});
    // The offer names b, but only the record's own list counts.
    EXPECT_EQ(findConflicting(installer(), *offer), nullptr);

    add({.name = "c", .conflicts = {dep("a")}, .disabled = true});
    EXPECT_EQ(findConflicting(installer(), *offer), nullptr);

    PackageRecord* first = add({.name = "d", .conflicts = {dep("a")}});
    add({.name = "e", .conflicts = {dep("a")}});
    EXPECT_EQ(findConflicting(installer(), *offer), first);
}

TEST_F(CatalogueTest, FindConflictingSkipsPlaceholders) {
    auto offer = makeOffer({.name = "a"});
    PackageRecord* held = add(placeholder("c"));
    held->conflicts.push_back(dep("a"));
    EXPECT_EQ(findConflicting(installer(), *offer), nullptr);
}

TEST_F(CatalogueTest, CandidatesInCatalogueOrder) {
    PackageRecord* provider = add({.name = "p", .provides = {dep("x", ver(2, 0), ver(2, 0))}});
    add(placeholder("x"));
    PackageRecord* disabled = add({.name = "x", .version = ver(2, 5), .disabled = true});
    add({.name = "x", .version = ver(1, 0)});  // below the range
    PackageRecord* named = add({.name = "x", .version = ver(3, 0)});
    add({.name = "q", .provides = {dep("x", ver(4, 0))}});  // above the range
    Dependency wanted = dep("x", ver(2, 0), ver(3, 0));

    std::vector<PackageRecord*> found;
    candidatesFor(installer(), wanted, false, found);
    EXPECT_EQ(found, (std::vector<PackageRecord*>{provider, named}));
    EXPECT_EQ(firstCandidateFor(installer(), wanted, false), provider);

    // Appends to what the vector already holds.
    candidatesFor(installer(), wanted, true, found);
    EXPECT_EQ(found, (std::vector<PackageRecord*>{provider, named, provider, disabled, named}));
}

TEST_F(CatalogueTest, PlaceholdersAreNeverCandidates) {
    add(placeholder("x"));
    std::vector<PackageRecord*> found;
    candidatesFor(installer(), dep("x"), true, found);
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(firstCandidateFor(installer(), dep("x"), true), nullptr);

    add({.name = "y", .disabled = true});
    EXPECT_EQ(firstCandidateFor(installer(), dep("y"), false), nullptr);
    EXPECT_NE(firstCandidateFor(installer(), dep("y"), true), nullptr);
}

TEST_F(CatalogueTest, AppendAndEraseKeepOrder) {
    PackageRecord* a = appendRecord(installer(), std::make_unique<PackageRecord>("a"));
    PackageRecord* b = appendRecord(installer(), std::make_unique<PackageRecord>("b"));
    PackageRecord* c = appendRecord(installer(), std::make_unique<PackageRecord>("c"));
    PackageRecord* d = appendRecord(installer(), std::make_unique<PackageRecord>("d"));
    EXPECT_EQ(appendRecord(installer(), nullptr), nullptr);
    ASSERT_EQ(installer().packages.size(), 4u);

    std::unique_ptr<PackageRecord> taken = eraseRecord(installer(), b);
    EXPECT_EQ(taken.get(), b);
    ASSERT_EQ(installer().packages.size(), 3u);
    EXPECT_EQ(installer().packages[0].get(), a);
    EXPECT_EQ(installer().packages[1].get(), c);
    EXPECT_EQ(installer().packages[2].get(), d);

    EXPECT_EQ(eraseRecord(installer(), b), nullptr);  // no longer there
    EXPECT_EQ(eraseRecord(installer(), 3), nullptr);
    EXPECT_EQ(eraseRecord(installer(), std::size_t{0}).get(), a);
    EXPECT_EQ(findIndex(installer(), "c"), 0);
    EXPECT_EQ(findIndex(installer(), "d"), 1);
}

TEST(PackageRecordTest, NewRecordFromANameIsEnabledWithNoAction) {
    PackageRecord record("stavel");
    EXPECT_EQ(record.name, "stavel");
    EXPECT_EQ(record.action, None);
    EXPECT_FALSE(record.disabled);
    EXPECT_FALSE(record.userForced);
    EXPECT_FALSE(isPlaceholder(record));
    EXPECT_TRUE(plannedEnabled(record));
    EXPECT_TRUE(availableAfterPlan(record));
}

struct PlanRow {
    const char* name;
    bool disabled;
    PendingAction action;
    bool plannedEnabled;
    bool availableAfterPlan;
};
void PrintTo(const PlanRow& row, std::ostream* out) { *out << row.name; }

class PlannedStateTest : public ::testing::TestWithParam<PlanRow> {};

TEST_P(PlannedStateTest, Predicates) {
    const PlanRow& row = GetParam();
    PackageRecord record("x");
    record.disabled = row.disabled;
    record.action = row.action;
    EXPECT_EQ(plannedEnabled(record), row.plannedEnabled);
    EXPECT_EQ(availableAfterPlan(record), row.availableAfterPlan);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, PlannedStateTest,
                         ::testing::Values(PlanRow{"EnabledNone", false, None, true, true},
                                           PlanRow{"EnabledEnable", false, Enable, true, false},
                                           PlanRow{"EnabledDisable", false, Disable, false, false},
                                           PlanRow{"EnabledUninstall", false, Uninstall, false, false},
                                           PlanRow{"DisabledNone", true, None, false, false},
                                           PlanRow{"DisabledEnable", true, Enable, true, true},
                                           PlanRow{"DisabledDisable", true, Disable, false, false},
                                           PlanRow{"DisabledUninstall", true, Uninstall, false, false}),
                         [](const ::testing::TestParamInfo<PlanRow>& info) { return info.param.name; });

}  // namespace
}  // namespace velmora
