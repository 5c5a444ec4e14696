#include "run/stream_install.h"

namespace velmora {

int installStream(Installer& /*installer*/, ChangeSet& /*changes*/, std::istream& /*input*/,
                  InstallFlags /*flags*/, UserStates& /*userStates*/, std::streambuf* /*copyTarget*/,
                  std::string* /*imageDir*/, bool* /*bootImage*/) {
    // Package streams cannot be read yet: nothing is installed.
    return 1;
}

}  // namespace velmora
