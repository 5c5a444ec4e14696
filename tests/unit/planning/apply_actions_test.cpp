#include "planning/apply_actions.h"

#include <gtest/gtest.h>

#include "planning_test_support.h"
#include "unit/pdb/scratch_root.h"

namespace velmora {
namespace {

using ApplyActionsTest = db_test::ScratchRoot;

// Records with their database directories; after the run the messages, the catalogue ("off" for a disabled
// record), the pending operations and a status line shown (none at all: nullptr).
TEST_F(ApplyActionsTest, Scenario) {
    const struct { const char* catalogue; int level; bool result; const char *messages, *after, *ops, *shown; }
        rows[] = {
#define FOUR "U /flash//bin/gone, U /flash/var/pdb/gone/, T /flash/var/pdb/off/disabled, U /flash/var/pdb/on/disabled"
        {"base, off !d, gone !u, on !e off", 0, true, "", "base-1.0 off-1.0 off on-1.0", FOUR, nullptr},
        {"base, off !d, gone !u, on !e off", 1, true, "disabled off-1.0; enabled on-1.0", "base-1.0 off-1.0 off on-1.0",
         FOUR, "enabling on-1.0..."},
        {"base, off !d, gone !u, on !e off", 2, true, "disabled off-1.0; uninstalled gone-1.0; enabled on-1.0",
         "base-1.0 off-1.0 off on-1.0", FOUR, "uninstalling gone-1.0..."},
        {"a !u, b !d", 1, false, "ERROR: can not uninstall or disable all packages", "a-1.0 b-1.0", "", "ERROR"},
        {"a, b off", 2, false, "", "a-1.0 b-1.0 off", "", nullptr},
        // Removals before enables, enables in the planned order, an uninstall takes out only its own record.
        {"b !e off ~a, a", 1, true, "disabled a-1.0; enabled b-1.0", "b-1.0 a-1.0 off", "T /flash/var/pdb/a/disabled, "
         "U /flash/var/pdb/b/disabled", "disabling a-1.0..."},
        {"B off !e >A, A off, base", 1, true, "enabled A-1.0; enabled B-1.0", "B-1.0 A-1.0 base-1.0",
         "U /flash/var/pdb/A/disabled, U /flash/var/pdb/B/disabled", "enabling A-1.0..."},
        {"x, x:2.0 !u, y", 2, true, "uninstalled x-2.0", "x-1.0 y-1.0", "U /flash/var/pdb/x/", "uninstalling x-2.0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.catalogue + std::to_string(row.level));
        cancel(changes_), resetInstaller();
        std::istringstream in(row.catalogue);
        for (std::string notation; std::getline(in, notation, ',');) {
            auto& r = *Installer::instance().packages.emplace_back(planning_test::make<PackageRecord>(notation));
            std::filesystem::create_directories(dbDirOf(r));
            if (r.disabled) put(dbDirOf(r) + "disabled", "user\n");
            if (r.name == "gone") r.files = {"/bin/gone"}, put(root_ + "/flash/bin/gone", "x");
        }
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(applyActions(Installer::instance(), changes_, row.level), row.result);
        const std::string output = ::testing::internal::GetCapturedStdout();
        std::string after, messages;
        for (const auto& r : Installer::instance().packages) {
            after += (after.empty() ? "" : " ") + recordLabel(*r) + (r->disabled ? " off" : "") +
                     (r->action == None ? "" : std::string(" ") + actionWord(r->action));
        }
        for (const std::string& m : Installer::instance().messages) messages += (messages.empty() ? "" : "; ") + m;
        EXPECT_EQ(messages + "|" + after + "|" + ops(), std::string(row.messages) + "|" + row.after + "|" + row.ops);
        EXPECT_TRUE(row.shown ? output.find(row.shown) != std::string::npos : output.empty()) << output;
    }
}

}  // namespace
}  // namespace velmora
