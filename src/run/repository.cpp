#include "run/repository.h"

#include "run/installer.h"

namespace velmora {

void loadRepository(Installer& installer, bool quiet, const std::string& arch) {
    installer.quiet = quiet;
    installer.arch = arch;
    // The catalogue itself is read from the package database once the
    // database and package readers exist.
}

}  // namespace velmora
