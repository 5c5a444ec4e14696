#include "run/installer.h"

namespace velmora {

Installer& Installer::instance() {
    // Deliberately never destroyed: records and messages stay valid until
    // the process ends, whatever order static objects die in.
    static Installer* singleton = new Installer();
    return *singleton;
}

}  // namespace velmora
