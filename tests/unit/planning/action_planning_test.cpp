#include "planning/action_planning.h"

#include <gtest/gtest.h>

#include "planning/catalogue.h"
#include "planning_test_support.h"

namespace velmora {
namespace {

using namespace planning_test;

// The catalogue before; after planning "label=action" of every record with one, the removal and enable lists
// and the messages.
struct PlanRow {
    const char *catalogue, *actions = "", *removals = "", *enables = "", *messages = "";
    bool result = true, reporting = true;
};

class PlanActionsTest : public CatalogueFixture, public ::testing::WithParamInterface<PlanRow> {};

TEST_P(PlanActionsTest, Scenario) {
    const PlanRow& row = GetParam();
    add(row.catalogue);
    PackageRecord earlier("earlier");  // the lists are appended to
    std::vector<PackageRecord*> removals{&earlier}, enables{&earlier};
    EXPECT_EQ(planActions(installer(), removals, enables, row.reporting), row.result);
    std::string actions;
    for (const auto& r : installer().packages) {
        if (r->action != None) actions += (actions.empty() ? "" : " ") + recordLabel(*r) + "=";
        actions += actionWord(r->action);
    }
    EXPECT_EQ(actions, row.actions);
    ASSERT_TRUE(removals.at(0) == &earlier && enables.at(0) == &earlier);
    EXPECT_EQ(labels(std::vector(removals.begin() + 1, removals.end())), row.removals);
    EXPECT_EQ(labels(std::vector(enables.begin() + 1, enables.end())), row.enables);
    EXPECT_EQ(messages(), row.messages);
}

INSTANTIATE_TEST_SUITE_P(Rows, PlanActionsTest, ::testing::Values(
    PlanRow{"A, B >A, C off"},
    // Requirements.
    PlanRow{"A !u, B >A", "", "", "", "WARNING: can not uninstall A-1.0: B depends on it"},
    PlanRow{"B >A, A !d", "", "", "", "WARNING: can not disable A-1.0: B depends on it"},
    PlanRow{"A !u, B >A", "", "", "", "", true, false},
    PlanRow{"A !u, P ^A, B >A", "A-1.0=uninstall", "A-1.0"},
    PlanRow{"B off !e >A, A off, base", "B-1.0=enable A-1.0=enable", "", "A-1.0 B-1.0"},
    PlanRow{"A:2.0 off, A off, B off !e >A", "A-2.0=enable B-1.0=enable", "", "A-2.0 B-1.0"},
    PlanRow{"A !u, B off >A, base", "A-1.0=uninstall B-1.0=uninstall", "A-1.0 B-1.0"},
    PlanRow{"C >B, B >missing, base", "C-1.0=uninstall B-1.0=uninstall", "C-1.0 B-1.0"},
    PlanRow{"A, B >A:2.0", "B-1.0=uninstall", "B-1.0"},
    // X keeps A, which stays disabled: X is not enabled after all, and B, which needs X, goes with it.
    PlanRow{"A off !u, X off !e >A, B >X, base", "X-1.0=disable B-1.0=disable", "X-1.0 B-1.0", "",
            "WARNING: can not uninstall A-1.0: X depends on it"},
    PlanRow{"A !e, B >A", "A-1.0=enable B-1.0=uninstall", "B-1.0", "A-1.0"},
    PlanRow{"A:*, B >A, m:* in=bun, bun bundle", "B-1.0=uninstall bun-1.0=uninstall", "B-1.0 bun-1.0"},
    // Cycles.
    PlanRow{"A off >B, B off >C, C off >A, u >A", "A-1.0=enable B-1.0=enable C-1.0=enable", "", "B-1.0 A-1.0 C-1.0"},
    PlanRow{"R >C, C off !u >D, D off !u >C", "C-1.0=enable D-1.0=enable", "", "C-1.0 D-1.0",
            "WARNING: can not uninstall C-1.0: R depends on it; WARNING: can not uninstall D-1.0: C depends on it"},
    PlanRow{"loop off in=loop bundle, app >loop", "loop-1.0=enable", "", "loop-1.0"},
    PlanRow{"M off in=N, N off in=M, app >M", "M-1.0=enable N-1.0=enable", "", "N-1.0 M-1.0"},
    // Conflicts.
    PlanRow{"A, B off !e ~A", "A-1.0=disable B-1.0=enable", "A-1.0", "B-1.0"},
    PlanRow{"A ~B, B off !e", "A-1.0=disable B-1.0=enable", "A-1.0", "B-1.0"},
    PlanRow{"P off !e, Q off !e ~P, base", "Q-1.0=enable", "", "Q-1.0",
            "WARNING: can not enable P: Q-1.0 conflicts with it"},
    PlanRow{"P off !e ~Q, Q off !e ~P", "P-1.0=enable Q-1.0=enable", "", "P-1.0 Q-1.0"},
    PlanRow{"A ~B, B", "B-1.0=disable", "B-1.0"},
    PlanRow{"W off !e ^Z, Y off !e ^Z:::1", "Y-1.0=enable", "", "Y-1.0",
            "WARNING: can not enable W: Y-1.0 conflicts with it"},
    // Bundles.
    PlanRow{"m1 in=bun, m2 in=bun, bun !d bundle, base", "m1-1.0=disable m2-1.0=disable bun-1.0=uninstall",
            "m1-1.0 m2-1.0 bun-1.0"},
    PlanRow{"m1 in=bun, m2 !d in=bun, bun !u bundle, base", "m1-1.0=uninstall m2-1.0=uninstall bun-1.0=uninstall",
            "m1-1.0 m2-1.0 bun-1.0"},
    PlanRow{"m1 off in=bun, m2 in=bun, bun off !e bundle", "m1-1.0=enable bun-1.0=enable", "", "bun-1.0 m1-1.0"},
    PlanRow{"m1 in=bun, bun off bundle", "bun-1.0=enable", "", "bun-1.0"},
    PlanRow{"bun bundle, base", "bun-1.0=uninstall", "bun-1.0"},
    PlanRow{"X off !u, m1 off >X in=bun, bun off !e bundle, base", "m1-1.0=disable", "m1-1.0", "",
            "WARNING: can not uninstall X-1.0: m1 depends on it"},
    PlanRow{"m1 !e in=bun, bun bundle", "m1-1.0=enable bun-1.0=uninstall", "bun-1.0", "m1-1.0"},
    // Refusal.
    PlanRow{"A !u, B !d, C off", "", "", "", "ERROR: can not uninstall or disable all packages", false},
    PlanRow{"A !u", "", "", "", "", false, false},
    PlanRow{"A !u, B !e", "A-1.0=uninstall B-1.0=enable", "A-1.0", "B-1.0"}));

using PlanActionsListTest = CatalogueFixture;
// Of equal same-named records the first is enabled, the others passed over.
TEST_F(PlanActionsListTest, OfEqualSameNamedRecordsTheFirstIsEnabled) {
    add("base, a:2.0 off !e, a:2.0 off !e, a off !e");
    std::vector<PackageRecord*> removals, enables;
    ASSERT_TRUE(planActions(installer(), removals, enables, true));
    EXPECT_TRUE(enables == std::vector<PackageRecord*>{installer().packages[1].get()} && removals.empty());
}

}  // namespace
}  // namespace velmora
