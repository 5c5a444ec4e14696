#pragma once
// Carrying out the uninstall, disable and enable actions pending on the
// catalogue's records: the plan is made, then each record is handed to the
// database, which records the file changes in the run's change set.

#include <vector>

namespace velmora {

class Installer;
struct ChangeSet;
struct PackageRecord;

// Plans and applies the pending actions, removals before enables; true when
// something was taken away or enabled, false when there was nothing to do
// or the plan was refused. reportLevel 0: silent; 1: planning messages and
// enable/disable progress; 2 or more: uninstall progress as well.
bool applyActions(Installer& installer, ChangeSet& changes, int reportLevel);

// Disables or uninstalls each record in list order. An uninstalled record
// leaves the catalogue (its own slot, whatever other records share its name)
// and is deleted.
void applyRemovals(Installer& installer, ChangeSet& changes, const std::vector<PackageRecord*>& removals,
                   int reportLevel);

// Enables each record in list order.
void applyEnables(ChangeSet& changes, const std::vector<PackageRecord*>& enables, int reportLevel);

}  // namespace velmora
