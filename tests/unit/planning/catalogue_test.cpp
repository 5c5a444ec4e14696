#include "planning/catalogue.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "planning/catalogue_index.h"
#include "planning/dependency_rules.h"
#include "planning_test_support.h"

namespace velmora {
namespace {

using namespace planning_test;
using CatalogueTest = CatalogueFixture;
using Records = std::vector<PackageRecord*>;

TEST_F(CatalogueTest, FindByNameTakesTheFirstOfEqualNamesDisabledAndPlaceholdersIncluded) {
    EXPECT_EQ(find(installer(), "a"), nullptr);
    add(pkg("b"));
    PackageRecord* first = add(pkg("a", ver(1, 0)).off());
    add({pkg("a", ver(2, 0)), placeholder("p")});
    EXPECT_EQ(findIndex(installer(), "a"), 1);
    EXPECT_EQ(find(installer(), "a"), first);
    EXPECT_EQ(findIndex(installer(), "p"), 3);
    EXPECT_EQ(findIndex(installer(), "A"), -1);
    EXPECT_EQ(findIndex(installer(), ""), -1);
}

TEST_F(CatalogueTest, NamedOrProvidingPrefersTheFirstEnabledThenTheLastDisabledMatch) {
    add({pkg("x").off(), pkg("other")});
    PackageRecord* enabled = add(pkg("p").gives("x", ver(6, 1), ver(6, 1)));
    add(pkg("x"));
    EXPECT_EQ(findNamedOrProviding(installer(), "x"), enabled);

    installer().packages.clear();
    add(pkg("x").off());
    PackageRecord* last = add(pkg("p").gives("x").off());
    add(pkg("unrelated"));
    EXPECT_EQ(findNamedOrProviding(installer(), "x"), last);
    EXPECT_EQ(findNamedOrProviding(installer(), "X"), nullptr);
    EXPECT_EQ(findNamedOrProviding(installer(), "y"), nullptr);

    installer().packages.clear();
    PackageRecord* held = add(placeholder("x"));
    EXPECT_EQ(findNamedOrProviding(installer(), "x"), held);
}

TEST_F(CatalogueTest, FindConflictingReadsTheEnabledRecordsConflictLists) {
    auto offer = makeOffer(pkg("a").clashes("b"));
    // The offer names b, but only the record's own list counts.
    add({pkg("b"), pkg("c").clashes("a").off(), placeholder("h").clashes("a")});
    EXPECT_EQ(findConflicting(installer(), *offer), nullptr);
    PackageRecord* first = add(pkg("d").clashes("a"));
    add(pkg("e").clashes("a"));
    EXPECT_EQ(findConflicting(installer(), *offer), first);
}

TEST_F(CatalogueTest, CandidatesInCatalogueOrderWithoutPlaceholders) {
    PackageRecord* provider = add(pkg("p").gives("x", ver(2, 0), ver(2, 0)));
    add(placeholder("x"));
    PackageRecord* disabled = add(pkg("x", ver(2, 5)).off());
    add(pkg("x", ver(1, 0)));  // below the range
    PackageRecord* named = add(pkg("x", ver(3, 0)));
    add(pkg("q").gives("x", ver(4, 0), ver(4, 0)));  // above the range
    const Dependency wanted = dep("x", ver(2, 0), ver(3, 0));

    Records found;
    candidatesFor(installer(), wanted, false, found);
    EXPECT_EQ(found, (Records{provider, named}));
    // Appends to what the vector already holds.
    candidatesFor(installer(), wanted, true, found);
    EXPECT_EQ(found, (Records{provider, named, provider, disabled, named}));
    EXPECT_EQ(firstCandidateFor(installer(), wanted, false), provider);
    EXPECT_EQ(firstCandidateFor(installer(), dep("x", ver(2, 5), ver(2, 5)), false), nullptr);
    EXPECT_EQ(firstCandidateFor(installer(), dep("x", ver(2, 5), ver(2, 5)), true), disabled);
    EXPECT_EQ(firstCandidateFor(installer(), dep("x", kAllOnes, kAllOnes), true), nullptr);  // the placeholder
}

TEST_F(CatalogueTest, AppendAndEraseKeepOrder) {
    Records added;
    for (const char* name : {"a", "b", "c", "d"}) {
        added.push_back(appendRecord(installer(), std::make_unique<PackageRecord>(name)));
    }
    EXPECT_EQ(appendRecord(installer(), nullptr), nullptr);
    EXPECT_EQ(eraseRecord(installer(), added[1]).get(), added[1]);
    EXPECT_EQ(eraseRecord(installer(), added[1]), nullptr);  // no longer there
    EXPECT_EQ(eraseRecord(installer(), 3), nullptr);
    EXPECT_EQ(eraseRecord(installer(), std::size_t{0}).get(), added[0]);
    ASSERT_EQ(installer().packages.size(), 2u);
    EXPECT_EQ(installer().packages[0].get(), added[2]);
    EXPECT_EQ(installer().packages[1].get(), added[3]);
}

// The index must answer exactly as the catalogue's own scans, order
// included, over a catalogue with the awkward cases side by side.
TEST_F(CatalogueTest, IndexAnswersAsTheScans) {
    add({pkg("a", ver(2, 0)), pkg("p", ver(1, 0)).gives("a", ver(1, 0), ver(1, 5)).gives("a", ver(3, 0)),
         pkg("a", ver(1, 0)).off(), pkg("self", ver(1, 0)).gives("self").gives("svc", 0, 0, -1), placeholder("a"),
         placeholder("q").gives("svc").in("bun"), pkg("svc", ver(4, 0)), pkg("A", ver(2, 0)), pkg("m1").in("bun"),
         pkg(""), pkg("m2").off().in("bun"), pkg("bun").bundle()});
    CatalogueIndex index(installer());
    for (const Dependency& probe :
         {dep("a"), dep("a", ver(2, 0)), dep("a", 0, ver(1, 0)), dep("a", ver(1, 2), ver(1, 3)), dep("a", ver(5, 0)),
          dep("svc"), dep("svc", ver(5, 0)), dep("self"), dep("A"), dep(""), dep("nowhere"), dep("q")}) {
        SCOPED_TRACE(probe.name + " " + std::to_string(probe.min) + " " + std::to_string(probe.max));
        Records expected, got;
        candidatesFor(installer(), probe, true, expected);
        index.candidates(probe, got);
        EXPECT_EQ(got, expected);
        EXPECT_EQ(index.firstNamed(probe.name), find(installer(), probe.name));
    }
    for (const char* name : {"bun", "", "a"}) {
        SCOPED_TRACE(name);
        Records expected;
        for (const auto& record : installer().packages) {
            if (!isPlaceholder(*record) && sameName(record->bundleRef.name, name)) expected.push_back(record.get());
        }
        EXPECT_EQ(index.membersOf(name), expected);
    }
    EXPECT_EQ(index.membersOf("bun").size(), 2u);
}

// Enabled once the plan is carried out, and available with no action left
// that could change it.
TEST(PlannedState, Predicates) {
    // disabled, action, plannedEnabled, availableAfterPlan
    const std::tuple<bool, PendingAction, bool, bool> rows[] = {
        {false, None, true, true},        {false, Enable, true, false}, {false, Disable, false, false},
        {false, Uninstall, false, false}, {true, None, false, false},   {true, Enable, true, true},
        {true, Disable, false, false},    {true, Uninstall, false, false}};
    for (const auto& [disabled, action, planned, available] : rows) {
        PackageRecord record("x");
        record.disabled = disabled;
        record.action = action;
        EXPECT_EQ(plannedEnabled(record), planned) << disabled << " " << action;
        EXPECT_EQ(availableAfterPlan(record), available) << disabled << " " << action;
    }
}

}  // namespace
}  // namespace velmora
