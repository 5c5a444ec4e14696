#pragma once
// Lookups over the catalogue, the Installer's ordered vector of package
// records. Every scan runs first to last, so insertion order settles ties.
// Nothing here reports a message.

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "planning/package_record.h"

namespace velmora {

class Installer;

// Index of the first record named name; -1 when there is none.
int findIndex(const Installer& installer, std::string_view name);

// The first record named name, or null.
PackageRecord* find(const Installer& installer, std::string_view name);

// The first enabled record named name or providing it (at any version);
// when every such record is disabled, the last of them; null when none.
PackageRecord* findNamedOrProviding(const Installer& installer, std::string_view name);

// The first enabled record r with conflictsWith(r, package). The record is
// the first argument: its conflict list is the one read.
PackageRecord* findConflicting(const Installer& installer, const PackageInfo& package);

// Appends, in catalogue order, every record other than a placeholder that
// satisfies or provides for dependency; disabled ones only when asked.
void candidatesFor(const Installer& installer, const Dependency& dependency, bool includeDisabled,
                   std::vector<PackageRecord*>& out);

// The first record candidatesFor would append, or null: for callers that
// only need to know whether the dependency can be met.
PackageRecord* firstCandidateFor(const Installer& installer, const Dependency& dependency,
                                 bool includeDisabled);

// The record will be enabled once the pending actions are carried out.
inline bool plannedEnabled(const PackageRecord& record) {
    return record.action == Enable || (record.action == None && !record.disabled);
}

// The record is enabled, or about to be, and no action will change that.
// Unlike plannedEnabled, false for an enabled record with Enable pending.
inline bool availableAfterPlan(const PackageRecord& record) {
    return record.disabled ? record.action == Enable : record.action == None;
}

// Adds record at the end of the catalogue; returns it.
PackageRecord* appendRecord(Installer& installer, std::unique_ptr<PackageRecord> record);

// Takes the record at index (or record itself) out of the catalogue,
// keeping the order of the others, and hands it back; null when it is not
// there. Dropping the result deletes the record.
std::unique_ptr<PackageRecord> eraseRecord(Installer& installer, std::size_t index);
std::unique_ptr<PackageRecord> eraseRecord(Installer& installer, const PackageRecord* record);

}  // namespace velmora
