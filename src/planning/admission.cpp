#include "planning/admission.h"

#include <string>
#include <string_view>

#include "pdb/version.h"
#include "planning/catalogue.h"
#include "planning/dependency_rules.h"
#include "run/installer.h"
#include "run/message_log.h"
#include "storage/flash_device.h"

namespace velmora {
namespace {

// The first release whose core packages cope with 256 KiB erase blocks.
constexpr Version kLargeEraseBlockMinimum = 0x03146302;  // 3.20rc2

}  // namespace

bool isCorePackage(const PackageInfo& package) {
    std::string_view name = package.name;
    return sameName(name, "stavel") || name.starts_with("velmora");
}

bool checkBoardCompatibility(const Installer& installer, const PackageInfo& package,
                             bool reporting) {
    // Asked before any test, whatever the package: the answer may change
    // between calls.
    Version minimum = boardMinimumVersion();
    if (package.version < minimum && findIndex(installer, "option") < 0) {
        if (reporting) {
            std::string label = recordLabel(package);
            reportError("omitting package %s: min Velmora version is %s", label.c_str(),
                        versionText(minimum));
        }
        return false;
    }
    if (package.version < kLargeEraseBlockMinimum && largeEraseBlocks()) {
        if (reporting) {
            std::string label = recordLabel(package);
            reportWarning("omitting package %s: it does not support current file system",
                          label.c_str());
        }
        return false;
    }
    return true;
}

AdmissionOutcome admitOffer(const Installer& installer, const PackageInfo& package,
                            InstallFlags flags) {
    AdmissionOutcome outcome = 0;
    // Only the first reason for refusing is reported; the bits of the later
    // steps are still collected.
    bool refused = false;
    const bool silentIncompatible = (flags & AllowIncompatible) != 0;

    if (const PackageRecord* installed = find(installer, package.name)) {
        int order = compareVersions(package, *installed);
        if (order < 0) {
            outcome |= Downgrade;
            if (!(flags & AllowDowngrade)) {
                std::string label = recordLabel(package);
                std::string newer = recordLabel(*installed);
                reportWarning("omitting package %s: newer package %s is already installed",
                              label.c_str(), newer.c_str());
                refused = true;
            }
        } else if (order == 0) {
            outcome |= SameVersion;
            if (!(flags & Reinstall)) {
                std::string label = recordLabel(package);
                reportWarning("omitting package %s: it is already installed", label.c_str());
                refused = true;
            }
        } else {
            outcome |= Upgrade;
        }
    }

    if (isCorePackage(package)) {
        bool reporting = !refused && !silentIncompatible;
        if (!checkBoardCompatibility(installer, package, reporting)) {
            if (reporting) refused = true;
            outcome |= Incompatible;
        }
    }

    if (!package.arch.empty() && !sameName(package.arch, installer.arch)) {
        if (!refused && !silentIncompatible) {
            std::string label = recordLabel(package);
            reportError("can not install %s: it is not made for %s, but for %s", label.c_str(),
                        installer.arch.c_str(), package.arch.c_str());
            refused = true;
        }
        outcome |= Incompatible;
    }

    for (const Dependency& requirement : package.deps) {
        if (firstCandidateFor(installer, requirement, false)) continue;
        if (!refused && !silentIncompatible) {
            std::string label = recordLabel(package);
            std::string needed = requirementLabel(requirement.name, requirement.min);
            reportError("can not install %s: %s is not installed, but is required", label.c_str(),
                        needed.c_str());
            refused = true;
        }
        outcome |= Incompatible;
        break;
    }

    if (const PackageRecord* other = findConflicting(installer, package)) {
        if (!refused && !(flags & AllowConflicting)) {
            std::string label = recordLabel(package);
            std::string rival = recordLabel(*other);
            reportError("can not install %s: it conflicts with %s", label.c_str(), rival.c_str());
        }
        outcome |= Conflicting;
    }

    return outcome;
}

}  // namespace velmora
