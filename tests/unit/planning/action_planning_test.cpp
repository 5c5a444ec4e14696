#include "planning/action_planning.h"

#include <gtest/gtest.h>

#include "planning/apply_actions.h"
#include "planning/catalogue.h"
#include "planning_test_support.h"
#include "unit/pdb/scratch_root.h"

namespace velmora::planning_test {

// The catalogue before; after planning "label=action" of every record with one, the removal and enable lists
// (appended to) and the messages.
TEST_F(Planning, Actions) {
    const struct { const char *catalogue, *actions = "", *removals = "", *enables = "", *messages = "";
        bool result = true, reporting = true; } rows[] = {
        // Requirements.
        {"A !u, B >A", "", "", "", "", true, false}, {"A !u, P ^A, B >A", "A-1.0=uninstall", "A-1.0"},
        {"B off !e >A, A off, base", "B-1.0=enable A-1.0=enable", "", "A-1.0 B-1.0"},
        {"A:2.0 off, A off, B off !e >A", "A-2.0=enable B-1.0=enable", "", "A-2.0 B-1.0"},
        {"A !u, B off >A, base", "A-1.0=uninstall B-1.0=uninstall", "A-1.0 B-1.0"},
        {"C >B, B >missing, base", "C-1.0=uninstall B-1.0=uninstall", "C-1.0 B-1.0"},
        // X keeps A, which stays disabled: X is not enabled after all, and B, which needs X, goes with it.
        {"A off !u, X off !e >A, B >X, base", "X-1.0=disable B-1.0=disable", "X-1.0 B-1.0", "",
         "WARNING: can not uninstall A-1.0: X depends on it"},
        {"A !e, B >A", "A-1.0=enable B-1.0=uninstall", "B-1.0", "A-1.0"},
        {"A:*, B >A, m:* in=bun, bun bundle", "B-1.0=uninstall bun-1.0=uninstall", "B-1.0 bun-1.0"},
        // Of equal same-named enables the first stands for all.
        {"base, a:2.0 off !e, a:2.0 off !e, a off !e", "a-2.0=enable a-2.0=enable a-1.0=enable", "", "a-2.0"},
        // Cycles.
        {"A off >B, B off >C, C off >A, u >A", "A-1.0=enable B-1.0=enable C-1.0=enable", "", "B-1.0 A-1.0 C-1.0"},
        {"R >C, C off !u >D, D off !u >C", "C-1.0=enable D-1.0=enable", "", "C-1.0 D-1.0",
         "WARNING: can not uninstall C-1.0: R depends on it; WARNING: can not uninstall D-1.0: C depends on it"},
        {"M off in=N, N off in=M, app >M", "M-1.0=enable N-1.0=enable", "", "N-1.0 M-1.0"},
        // Conflicts.
        {"A, B off !e ~A", "A-1.0=disable B-1.0=enable", "A-1.0", "B-1.0"},
        {"A ~B, B off !e", "A-1.0=disable B-1.0=enable", "A-1.0", "B-1.0"},
        {"P off !e, Q off !e ~P, base", "Q-1.0=enable", "", "Q-1.0",
         "WARNING: can not enable P: Q-1.0 conflicts with it"},
        {"P off !e ~Q, Q off !e ~P", "P-1.0=enable Q-1.0=enable", "", "P-1.0 Q-1.0"},
        // Bundles.
        {"m1 in=bun, m2 in=bun, bun !d bundle, base", "m1-1.0=disable m2-1.0=disable bun-1.0=uninstall",
         "m1-1.0 m2-1.0 bun-1.0"},
        {"m1 in=bun, m2 !d in=bun, bun !u bundle, base", "m1-1.0=uninstall m2-1.0=uninstall bun-1.0=uninstall",
         "m1-1.0 m2-1.0 bun-1.0"},
        {"m1 off in=bun, m2 in=bun, bun off !e bundle", "m1-1.0=enable bun-1.0=enable", "", "bun-1.0 m1-1.0"},
        {"m1 in=bun, bun off bundle", "bun-1.0=enable", "", "bun-1.0"},
        {"bun bundle, base", "bun-1.0=uninstall", "bun-1.0"},
        {"X off !u, m1 off >X in=bun, bun off !e bundle, base", "m1-1.0=disable", "m1-1.0", "",
         "WARNING: can not uninstall X-1.0: m1 depends on it"},
        {"m1 !e in=bun, bun bundle", "m1-1.0=enable bun-1.0=uninstall", "bun-1.0", "m1-1.0"},
        // Refusal.
        {"A !u, C off", "", "", "", "", false, false}, {"A !u, B !e", "A-1.0=uninstall B-1.0=enable", "A-1.0", "B-1.0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.catalogue);
        reset(), add(row.catalogue);
        PackageRecord earlier("earlier");  // the lists are appended to
        std::vector<PackageRecord*> removals{&earlier}, enables{&earlier};
        EXPECT_EQ(planActions(installer(), removals, enables, row.reporting), row.result);
        std::vector<std::string> actions;
        for (const auto& r : installer().packages)
            if (r->action != None) actions.push_back(recordLabel(*r) + "=" + actionWord(r->action));
        ASSERT_TRUE(removals.at(0) == &earlier && enables.at(0) == &earlier);
        removals.erase(removals.begin()), enables.erase(enables.begin());
        EXPECT_EQ(join(actions) + "|" + join(removals) + "|" + join(enables) + "|" + messages(),
                  std::string(row.actions) + "|" + row.removals + "|" + row.enables + "|" + row.messages);
    }
}

using ApplyActionsTest = db_test::ScratchRoot;

// Records with their database directories; after the run the messages, the catalogue ("off" for a disabled
// record), the pending operations and a status line shown (none at all: nullptr).
TEST_F(ApplyActionsTest, Scenario) {
    const struct { const char* records; int level; bool result; const char *messages, *after, *ops, *shown; } rows[] = {
#define FOUR "U /flash//bin/gone, U /flash/var/pdb/gone/, T /flash/var/pdb/off/disabled, U /flash/var/pdb/on/disabled"
#define BEFORE "base, off !d, gone !u, on !e off"
#define AFTER "base-1.0 off-1.0 off on-1.0"
        {BEFORE, 0, true, "", AFTER, FOUR, nullptr},
        {BEFORE, 1, true, "disabled off-1.0; enabled on-1.0", AFTER, FOUR, "enabling on-1.0..."},
        {BEFORE, 2, true, "disabled off-1.0; uninstalled gone-1.0; enabled on-1.0", AFTER, FOUR, "uninstalling gone"},
        {"a !u, b !d", 1, false, "ERROR: can not uninstall or disable all packages", "a-1.0 b-1.0", "", "ERROR"},
        {"a, b off", 2, false, "", "a-1.0 b-1.0 off", "", nullptr},
        // An uninstall takes out only its own record.
        {"x, x:2.0 !u, y", 2, true, "uninstalled x-2.0", "x-1.0 y-1.0", "U /flash/var/pdb/x/", "uninstalling x-2.0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.records + std::to_string(row.level));
        cancel(changes_), resetInstaller();
        std::istringstream in(row.records);
        for (std::string notation; std::getline(in, notation, ',');) {
            auto& r = *Installer::instance().packages.emplace_back(make(notation));
            std::filesystem::create_directories(dbDirOf(r));
            if (r.disabled) put(dbDirOf(r) + "disabled", "user\n");
            if (r.name == "gone") r.files = {"/bin/gone"}, put(root_ + "/flash/bin/gone", "x");
        }
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(applyActions(Installer::instance(), changes_, row.level), row.result);
        const std::string output = ::testing::internal::GetCapturedStdout();
        std::vector<std::string> after;
        for (const auto& r : Installer::instance().packages)
            after.push_back(recordLabel(*r) + (r->disabled ? " off" : "") + actionWord(r->action));
        EXPECT_EQ(join(Installer::instance().messages, "; ") + "|" + join(after) + "|" + ops(),
                  std::string(row.messages) + "|" + row.after + "|" + row.ops);
        EXPECT_TRUE(row.shown ? output.find(row.shown) != std::string::npos : output.empty()) << output;
    }
}

}  // namespace velmora::planning_test
