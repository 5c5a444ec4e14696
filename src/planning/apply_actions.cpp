#include "planning/apply_actions.h"

#include <memory>
#include <string>

#include "pdb/package_db.h"
#include "pdb/version.h"
#include "planning/action_planning.h"
#include "planning/catalogue.h"
#include "run/installer.h"
#include "run/message_log.h"

namespace velmora {

bool applyActions(Installer& installer, ChangeSet& changes, int reportLevel) {
    std::vector<PackageRecord*> removals;
    std::vector<PackageRecord*> enables;
    if (!planActions(installer, removals, enables, reportLevel != 0)) return false;
    bool anything = !removals.empty() || !enables.empty();
    applyRemovals(installer, changes, removals, reportLevel);
    applyEnables(changes, enables, reportLevel);
    return anything;
}

void applyRemovals(Installer& installer, ChangeSet& changes, const std::vector<PackageRecord*>& removals,
                   int reportLevel) {
    for (PackageRecord* record : removals) {
        // Taken now: an uninstalled record is gone before its report.
        const std::string label = recordLabel(*record);
        if (record->action == Disable) {
            if (reportLevel >= 1) setStatus("disabling " + label + "...");
            disableRecord(*record, changes);
            if (reportLevel >= 1) reportInfo("disabled %s", label.c_str());
        } else if (record->action == Uninstall) {
            if (reportLevel >= 2) setStatus("uninstalling " + label + "...");
            removeRecord(*record, changes);
            // By identity: another record may share the name.
            std::unique_ptr<PackageRecord> taken = eraseRecord(installer, record);
            if (reportLevel >= 2) reportInfo("uninstalled %s", label.c_str());
            taken.reset();
        }
    }
}

void applyEnables(ChangeSet& changes, const std::vector<PackageRecord*>& enables, int reportLevel) {
    for (PackageRecord* record : enables) {
        const std::string label = recordLabel(*record);
        if (reportLevel >= 1) setStatus("enabling " + label + "...");
        enableRecord(*record, changes);
        if (reportLevel >= 1) reportInfo("enabled %s", label.c_str());
    }
}

}  // namespace velmora
