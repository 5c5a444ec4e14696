#include "run/upgrade.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "pdb/package_db.h"
#include "planning/apply_actions.h"
#include "planning/catalogue.h"
#include "planning/offers.h"
#include "planning/package_record.h"
#include "run/installer.h"
#include "run/message_log.h"
#include "run/stream_install.h"
#include "storage/change_set.h"
#include "storage/run_records.h"

namespace velmora {
namespace {

constexpr const char* kDowngradeMarker = "/rw/DOWNGRADE";
constexpr const char* kUploadDir = "/flash/rw/pckg/";
constexpr const char* kSecondUploadDir = "/flash/var/pckg/";
constexpr std::size_t kImagePathSize = 128;

// Capture before anything is installed: what the user chose, and every
// name (own or provided) that something enabled answered to.
UserStates captureUserStates(const Installer& installer) {
    UserStates states;
    for (const auto& record : installer.packages) {
        if (record->userForced) states.emplace(record->name, record->disabled);  // the first one wins
    }
    return states;
}

std::set<std::string> captureEnabledNames(const Installer& installer) {
    std::set<std::string> names;
    for (const auto& record : installer.packages) {
        if (record->disabled) continue;
        names.insert(record->name);
        for (const Dependency& provided : record->provides) names.insert(provided.name);
    }
    return names;
}

// The uploaded file becomes the package's stored image, or the boot image
// with the stored image a link to it.
void keepUploadedImage(ChangeSet& changes, const OfferedPackage& offer, bool bootImage) {
    char imagePath[kImagePathSize];
    std::snprintf(imagePath, sizeof imagePath, "%s%s/image", dbPaths().dbRoot.c_str(), offer.name.c_str());
    if (bootImage) {
        scheduleMove(changes, offer.path, dbPaths().bootImage);
        scheduleLink(changes, dbPaths().bootImage, imagePath);
    } else {
        scheduleMove(changes, offer.path, imagePath);
    }
}

// What was enabled before the upgrade and ended up disabled without an
// enabled package in its way is enabled again.
void enableAgain(Installer& installer, ChangeSet& changes, const std::set<std::string>& enabledNames) {
    std::vector<PackageRecord*> enables;
    for (const std::string& name : enabledNames) {
        PackageRecord* record = findNamedOrProviding(installer, name);
        if (!record || !record->disabled || findConflicting(installer, *record)) continue;
        // Found under its own name and a provided one, it is enabled once.
        if (std::find(enables.begin(), enables.end(), record) == enables.end()) enables.push_back(record);
    }
    applyEnables(changes, enables, 1);
}

}  // namespace

InstallFlags takeDowngradePermission(InstallFlags flags) {
    struct stat status {};
    const bool marker = ::stat(kDowngradeMarker, &status) == 0;
    const bool kept = (marker || (flags & AllowDowngrade) != 0) && keepDowngradePermission();
    if (marker && kept) ::unlink(kDowngradeMarker);
    if (marker || downgradePermitted()) flags |= AllowDowngrade;
    return flags;
}

void upgrade(Installer& installer, ChangeSet& changes, InstallFlags flags) {

    std::vector<std::unique_ptr<OfferedPackage>> offered;
    scanOffers(kUploadDir, offered);
    if (offered.empty()) scanOffers(kSecondUploadDir, offered);
    std::vector<PackageInfo*> chosen;
    chosen.reserve(offered.size());
    for (const auto& offer : offered) chosen.push_back(offer.get());
    selectOffers(chosen, (flags & AllowDowngrade) != 0, true);

    UserStates userStates = captureUserStates(installer);
    const std::set<std::string> enabledNames = captureEnabledNames(installer);
    if (!chosen.empty()) reservePostlog();

    for (PackageInfo* info : chosen) {
        // Every entry came from the offered list above.
        const auto& offer = static_cast<const OfferedPackage&>(*info);
        std::ifstream input(offer.path, std::ios::in | std::ios::binary);
        if (!input.is_open()) continue;
        bool bootImage = false;
        const int result = installStream(installer, changes, input, flags, userStates, nullptr, nullptr, &bootImage);
        input.close();
        if (result != 0) {
            // All or nothing: the packages installed before go too.
            cancel(changes);
            return;
        }
        if (offer.keepsImage) keepUploadedImage(changes, offer, bootImage);
    }

    enableAgain(installer, changes, enabledNames);

    if (installer.packages.empty()) {
        reportError("router installation failed!!!");
        cancel(changes);
    }
}

}  // namespace velmora
