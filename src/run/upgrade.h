#pragma once
// The ordinary run: install the uploaded package files as one change.

#include "planning/install_flags.h"

namespace velmora {

class Installer;
struct ChangeSet;

// The downgrade marker: when /rw/DOWNGRADE exists, or the flags allow a
// downgrade already, the permission is kept on the flash until the run ends
// (a stopped run is then completed by the next one), and the marker goes.
// Also honours the permission a stopped run left. Before the run changes
// anything.
InstallFlags takeDowngradePermission(InstallFlags flags);

void upgrade(Installer& installer, ChangeSet& changes, InstallFlags flags);

}  // namespace velmora
