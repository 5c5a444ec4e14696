#pragma once
// The one process-wide object of a run: the router's architecture, the
// catalogue of package records, the console status line and the messages
// collected for the postlog.

#include <memory>
#include <string>
#include <vector>

#include "planning/package_record.h"

namespace velmora {

class Installer {
public:
    // Created on first use and never destroyed.
    static Installer& instance();

    std::string arch;
    std::vector<std::unique_ptr<PackageRecord>> packages;  // the catalogue, in insertion order
    std::string status;                                    // text on the status line; empty: none shown
    std::vector<std::string> messages;                     // collected for the postlog, oldest first
    bool quiet = false;
    bool postlogReserved = false;  // set once by reservePostlog

private:
    Installer() = default;
};

}  // namespace velmora
