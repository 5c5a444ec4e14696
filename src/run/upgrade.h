#pragma once
// The ordinary run: install the uploaded package files as one change.

#include "planning/install_flags.h"

namespace velmora {

class Installer;
struct ChangeSet;

void upgrade(Installer& installer, ChangeSet& changes, InstallFlags flags);

}  // namespace velmora
