#include "planning/apply_actions.h"

namespace velmora {

bool applyActions(Installer& /*installer*/, ChangeSet& /*changes*/, int /*reportLevel*/) {
    // Planning arrives with the package model; until then no action is pending.
    return false;
}

}  // namespace velmora
