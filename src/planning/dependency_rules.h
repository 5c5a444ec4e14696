#pragma once
// The questions the planner asks about two packages: does one meet or
// provide for a requirement, does one need the other, are they in conflict,
// which is newer. Pure functions; several are deliberately not symmetric,
// and callers depend on the argument order.

#include <string_view>

#include "planning/package_record.h"

namespace velmora {

// Exact, case-sensitive byte comparison of two names.
inline bool sameName(std::string_view a, std::string_view b) { return a == b; }

// package is named d.name and its version lies in [d.min, d.max], a bound
// of 0 meaning unbounded.
bool satisfies(const PackageInfo& package, const Dependency& d);

// Provision entry e and requirement d share a name and their ranges meet.
bool rangesOverlap(const Dependency& e, const Dependency& d);

// Some provision of package overlaps requirement d.
bool providesFor(const PackageInfo& package, const Dependency& d);

// Some provision of package has this name, whatever its range: what an
// unbounded requirement of that name would find.
bool providesName(const PackageInfo& package, std::string_view name);

// a needs b, directly or through the members of either bundle.
bool dependsOn(const PackageInfo& a, const PackageInfo& b);

// a is in conflict with b. Not symmetric: a's conflict list is read, b's is
// not, and provisions of the two sides weigh differently.
bool conflictsWith(const PackageInfo& a, const PackageInfo& b);

// package is named name or has a member of that name.
bool isOrContains(const PackageInfo& package, std::string_view name);

// +1 when a is newer than b, -1 when older, 0 when equal or unrelated. A
// bundle is compared through its first member named like the other side.
int compareVersions(const PackageInfo& a, const PackageInfo& b);

// compareVersions, turned round in downgrade mode so that the older package
// counts as the better one.
int compareForSelection(const PackageInfo& a, const PackageInfo& b, bool downgrade);

}  // namespace velmora
