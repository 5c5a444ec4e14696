#include "run/upgrade.h"

namespace velmora {

void upgrade(Installer& /*installer*/, ChangeSet& /*changes*/, InstallFlags /*flags*/) {
    // Uploaded package files are picked up once package files can be read.
}

}  // namespace velmora
