#include "planning/action_planning.h"

#include <cstddef>
#include <memory>

#include "planning/catalogue.h"
#include "planning/catalogue_index.h"
#include "planning/dependency_rules.h"
#include "planning/offers.h"
#include "run/installer.h"
#include "run/message_log.h"

namespace velmora {
namespace {

// A member ends up disabled when it stays or becomes disabled; one that is
// being uninstalled or re-enabled counts neither way.
bool endsUpDisabled(const PackageRecord& member) {
    if (member.disabled) return member.action == None || member.action == Disable;
    return member.action == Disable;
}

// The plan over one catalogue. The catalogue's membership and the records'
// names and lists do not change while it runs, only their actions, so one
// index serves the whole plan.
class Planner {
public:
    Planner(Installer& installer, bool reporting)
        : installer_(installer), reporting_(reporting), index_(installer) {}

    void propagateBundleActions();
    void requireDependencies(PackageRecord& record);
    void keepRequired(PackageRecord& needed, const PackageRecord& needer);
    void resolveEnableConflicts(PackageRecord& record);
    void dropUnsatisfied();
    void reconcileBundles();

private:
    void candidates(const Dependency& dependency, std::vector<PackageRecord*>& out) const {
        index_.candidates(dependency, out);
    }
    PackageRecord* firstNamed(const std::string& name) const { return index_.firstNamed(name); }
    const std::vector<std::unique_ptr<PackageRecord>>& records() const { return installer_.packages; }

    Installer& installer_;
    bool reporting_;
    CatalogueIndex index_;
};

void Planner::propagateBundleActions() {
    for (const auto& member : records()) {
        if (member->bundleRef.name.empty()) continue;
        const PackageRecord* bundle = firstNamed(member->bundleRef.name);
        if (bundle == nullptr) continue;
        switch (bundle->action) {
            case Uninstall:
                member->action = Uninstall;
                break;
            case Disable:
                if (member->action != Uninstall) member->action = Disable;
                break;
            case Enable:
                if (member->disabled) member->action = Enable;
                break;
            case None:
                break;
        }
    }
}

void Planner::requireDependencies(PackageRecord& record) {
    if (!record.bundleRef.name.empty()) {
        if (PackageRecord* bundle = firstNamed(record.bundleRef.name)) keepRequired(*bundle, record);
    }
    std::vector<PackageRecord*> found;
    for (const Dependency& dependency : record.deps) {
        found.clear();
        candidates(dependency, found);
        if (dependencyState(found) == DependencyState::Met) continue;
        // Nothing could meet it: dropUnsatisfied deals with the record.
        if (found.empty()) return;
        std::vector<PackageInfo*> choice(found.begin(), found.end());
        selectOffers(choice, false, false);
        if (choice.empty()) continue;
        keepRequired(*static_cast<PackageRecord*>(choice.back()), record);
    }
}

void Planner::keepRequired(PackageRecord& needed, const PackageRecord& needer) {
    // Once a package is available it meets what it meets, and its own needs
    // have been (or are being) seen to; going through them again could only
    // run round a cycle of packages that need each other.
    if (availableAfterPlan(needed)) return;
    if (needed.action == Uninstall || needed.action == Disable) {
        if (reporting_) {
            reportWarning("can not %s %s: %s depends on it", actionWord(needed.action),
                          recordLabel(needed).c_str(), needer.name.c_str());
        }
        needed.action = None;
        requireDependencies(needed);
        return;
    }
    if (!needed.disabled) return;
    needed.action = Enable;
    requireDependencies(needed);
}

void Planner::resolveEnableConflicts(PackageRecord& record) {
    for (const auto& slot : records()) {
        PackageRecord& other = *slot;
        if (&other == &record || !availableAfterPlan(other)) continue;
        if (conflictsWith(record, other)) {
            if (other.action == None) other.action = Disable;
            continue;
        }
        if (record.action != Enable || !conflictsWith(other, record)) continue;
        if (other.action == None) {
            other.action = Disable;
        } else if (other.action == Enable) {
            if (reporting_) {
                reportWarning("can not enable %s: %s conflicts with it", record.name.c_str(),
                              recordLabel(other).c_str());
            }
            record.action = None;
            return;
        }
    }
}

void Planner::dropUnsatisfied() {
    // Every change moves a record towards Disable or Uninstall and
    // Uninstall is final, so the restarts come to an end.
    std::vector<PackageRecord*> found;
    bool changed = true;
    while (changed) {
        changed = false;
        for (const auto& slot : records()) {
            PackageRecord& record = *slot;
            for (const Dependency& dependency : record.deps) {
                found.clear();
                candidates(dependency, found);
                DependencyState state = dependencyState(found);
                if (state == DependencyState::Unmeetable && record.action != Uninstall) {
                    record.action = Uninstall;
                    changed = true;
                } else if (state == DependencyState::OnlyDisabled && plannedEnabled(record)) {
                    record.action = Disable;
                    changed = true;
                }
                if (changed) break;
            }
            if (changed) break;
        }
    }
}

void Planner::reconcileBundles() {
    for (const auto& slot : records()) {
        PackageRecord& bundle = *slot;
        if (!bundle.isBundle || bundle.action == Uninstall) continue;
        bool memberAvailable = false;
        bool memberDisabled = false;
        for (const PackageRecord* memberRecord : index_.membersOf(bundle.name)) {
            const PackageRecord& member = *memberRecord;
            if (availableAfterPlan(member)) {
                memberAvailable = true;
                break;
            }
            if (endsUpDisabled(member)) memberDisabled = true;
        }
        if (memberAvailable) continue;
        if (!memberDisabled || !bundle.disabled) {
            bundle.action = Uninstall;
        } else if (bundle.action == Enable) {
            bundle.action = None;
        }
    }
}

}  // namespace

DependencyState dependencyState(const std::vector<PackageRecord*>& candidates) {
    bool disabled = false;
    for (const PackageRecord* candidate : candidates) {
        if (availableAfterPlan(*candidate)) return DependencyState::Met;
        if (candidate->disabled || candidate->action == Disable) disabled = true;
    }
    return disabled ? DependencyState::OnlyDisabled : DependencyState::Unmeetable;
}

const char* actionWord(PendingAction action) {
    switch (action) {
        case Uninstall:
            return "uninstall";
        case Enable:
            return "enable";
        case Disable:
            return "disable";
        case None:
            break;
    }
    return "";
}

void propagateBundleActions(Installer& installer) { Planner(installer, false).propagateBundleActions(); }

void requireDependencies(Installer& installer, PackageRecord& record, bool reporting) {
    Planner(installer, reporting).requireDependencies(record);
}

void keepRequired(Installer& installer, PackageRecord& needed, const PackageRecord& needer, bool reporting) {
    Planner(installer, reporting).keepRequired(needed, needer);
}

void resolveEnableConflicts(Installer& installer, PackageRecord& record, bool reporting) {
    Planner(installer, reporting).resolveEnableConflicts(record);
}

void dropUnsatisfied(Installer& installer) { Planner(installer, false).dropUnsatisfied(); }

void reconcileBundles(Installer& installer) { Planner(installer, false).reconcileBundles(); }

bool planActions(Installer& installer, std::vector<PackageRecord*>& removals,
                 std::vector<PackageRecord*>& enables, bool reporting) {
    Planner planner(installer, reporting);
    const auto& records = installer.packages;

    planner.propagateBundleActions();
    for (const auto& record : records) {
        if (plannedEnabled(*record)) planner.requireDependencies(*record);
    }
    for (const auto& record : records) {
        if (plannedEnabled(*record)) planner.resolveEnableConflicts(*record);
    }
    planner.dropUnsatisfied();
    planner.reconcileBundles();

    bool anyEnabled = false;
    for (const auto& record : records) anyEnabled = anyEnabled || plannedEnabled(*record);
    if (!records.empty() && !anyEnabled) {
        for (const auto& record : records) record->action = None;
        if (reporting) reportError("can not uninstall or disable all packages");
        return false;
    }

    std::vector<PackageInfo*> toEnable;
    for (const auto& record : records) {
        if (record->action == Uninstall || record->action == Disable) removals.push_back(record.get());
        if (record->action == Enable) toEnable.push_back(record.get());
    }
    // Orders the enables after what they need and what conflicts with them,
    // and keeps only the newest of same-named records.
    selectOffers(toEnable, false, false);
    for (PackageInfo* record : toEnable) enables.push_back(static_cast<PackageRecord*>(record));
    return true;
}

}  // namespace velmora
