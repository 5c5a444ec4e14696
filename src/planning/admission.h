#pragma once
// Classifying an offered package against the catalogue before it is
// installed: new, upgrade, downgrade, reinstall, incompatible, conflicting.

#include "planning/install_flags.h"
#include "planning/package_record.h"

namespace velmora {

class Installer;

// The outcome bits for package, which is not yet in the catalogue. Reports
// the first reason for refusing it unless flags allow that kind of outcome;
// later steps still add their bits but say nothing. Changes nothing.
AdmissionOutcome admitOffer(const Installer& installer, const PackageInfo& package,
                            InstallFlags flags);

// Core packages ("stavel" and every name beginning with "velmora") are the
// ones the board rules apply to.
bool isCorePackage(const PackageInfo& package);

// False when package is older than the board's minimum (unless an "option"
// record is in the catalogue) or older than 3.20rc2 on a flash with large
// erase blocks. Asks the board on every call; reports the reason when
// reporting is true.
bool checkBoardCompatibility(const Installer& installer, const PackageInfo& package,
                             bool reporting);

}  // namespace velmora
