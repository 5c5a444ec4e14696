#pragma once
// Settling the uninstall, disable and enable actions pending on the
// catalogue's records into a consistent plan: what stays or becomes enabled
// gets what it needs, conflicting packages are disabled or the enabling is
// cancelled, bundle records and their members follow each other, and no
// plan may leave nothing enabled. Only `action` fields change here.

#include <vector>

#include "planning/package_record.h"

namespace velmora {

class Installer;

// How far the candidates of one requirement (candidatesFor with disabled
// records included) go towards meeting it once the plan is carried out.
enum class DependencyState : int {
    Met = 0,           // some candidate is available after the plan
    Unmeetable = 1,    // none available, none disabled: no candidate, or all enabled and leaving or re-enabled
    OnlyDisabled = 3,  // none available, at least one disabled or being disabled
};

DependencyState dependencyState(const std::vector<PackageRecord*>& candidates);

// "uninstall", "enable", "disable"; "" for None.
const char* actionWord(PendingAction action);

// The steps of the plan, each over the catalogue in catalogue order;
// planActions runs them in this order. keepRequired does not go through
// the needs of a package that is already available: once it is, what it
// meets counts as met, which ends the recursion round any cycle.
void propagateBundleActions(Installer& installer);
void requireDependencies(Installer& installer, PackageRecord& record, bool reporting);
void keepRequired(Installer& installer, PackageRecord& needed, const PackageRecord& needer, bool reporting);
void resolveEnableConflicts(Installer& installer, PackageRecord& record, bool reporting);
void dropUnsatisfied(Installer& installer);
void reconcileBundles(Installer& installer);

// Runs the whole plan and appends the records to take away (Uninstall or
// Disable, catalogue order) to removals and those to enable (ordered so
// that each follows what it needs and what conflicts with it) to enables.
// False, with every action reset to None and nothing appended, when the
// plan would leave no package enabled.
bool planActions(Installer& installer, std::vector<PackageRecord*>& removals,
                 std::vector<PackageRecord*>& enables, bool reporting);

}  // namespace velmora
