#pragma once
// Uploaded package files: reading their headers from an upload directory,
// choosing one offer among several of the same package, and putting the
// chosen ones into an order in which each comes after what it needs and
// after what conflicts with it.

#include <memory>
#include <string>
#include <vector>

#include "planning/package_record.h"

namespace velmora {

// Appends an offer for every file of directory (a path ending in "/") whose
// name ends in ".vpa" or ".vpd" and whose header can be read. Names that
// begin with "." are never read. A file whose header cannot be read is
// reported as broken and skipped; a directory that cannot be opened adds
// nothing.
void scanOffers(const std::string& directory, std::vector<std::unique_ptr<OfferedPackage>>& out);

// Keeps the newest (oldest when downgrade) of related offers, drops a
// single package that an equal bundle carries, and orders the survivors.
// Of two equal related offers of the same kind the first in list order is
// kept. Replaces the list's contents; deletes nothing. Dropped offers are
// reported when reporting is true.
void selectOffers(std::vector<PackageInfo*>& list, bool downgrade, bool reporting);

}  // namespace velmora
