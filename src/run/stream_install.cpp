#include "run/stream_install.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

#include "package/install_messages.h"
#include "package/package_check.h"
#include "package/package_format.h"
#include "package/package_install.h"
#include "package/package_reader.h"
#include "package/package_stream.h"
#include "pdb/package_db.h"
#include "planning/admission.h"
#include "planning/apply_actions.h"
#include "planning/catalogue.h"
#include "planning/package_record.h"
#include "run/installer.h"
#include "run/message_log.h"
#include "storage/change_set.h"

namespace velmora {
namespace {

constexpr InstallFlags kEveryFlag = 0xFFFFFFFF;
constexpr std::size_t kStatusWidth = 78;

bool bootImageRequested() { return std::getenv("bootimage") != nullptr; }

bool inCatalogue(const Installer& installer, const PackageRecord* record) {
    return std::any_of(installer.packages.begin(), installer.packages.end(),
                       [record](const auto& entry) { return entry.get() == record; });
}

// The header is read into a fresh record; a name that cannot be a database
// directory makes the header as unreadable as a cut one. A header that gave
// a name is reported, so that no package of a bundle is passed over in
// silence.
std::unique_ptr<PackageRecord> readHeader(PackageFile& reader) {
    auto record = std::make_unique<PackageRecord>();
    if (readStreamHeader(*record, reader)) return record;
    if (!record->name.empty()) reportBrokenPackage(*record);
    return nullptr;
}

// Passes over the rest of a member: up to the next member header or the end.
void skipToNextMember(PackageFile& reader) {
    while (reader.currentType() != PartHeader && reader.currentType() != -1) reader.nextPart();
}

// What becomes of a package that admission did not let through.
PackageRecord* refusePackage(Installer& installer, PackageFile& reader, InstallFlags flags,
                             AdmissionOutcome outcome, const PackageRecord& record, bool inBundle,
                             bool* bootImage) {
    if (inBundle) {
        skipToNextMember(reader);
        return find(installer, record.name);
    }
    if ((outcome & SameVersion) != 0 && (flags & Reinstall) != 0) {
        setStatus(std::string(kStatusWidth, ' '));
        setStatus("");
        reportInfo("installed %s%s", record.disabled ? "(disabled) " : "", recordLabel(record).c_str());
        PackageRecord* installed = find(installer, record.name);
        if (bootImage) *bootImage = installed != nullptr && (installed->flags & FlagBootImage) != 0;
        return installed;
    }
    // Already there: nothing to do, and nothing failed. Its image is kept
    // again as it was, the boot image included.
    if ((outcome & SameVersion) != 0) {
        PackageRecord* installed = find(installer, record.name);
        if (bootImage) {
            *bootImage = installed != nullptr && (installed->flags & FlagBootImage) != 0 && bootImageRequested();
        }
        return installed;
    }
    return nullptr;
}

}  // namespace

PackageRecord* installPackage(Installer& installer, ChangeSet& changes, PackageFile& reader, InstallFlags flags,
                              UserStates& userStates, const Dependency* bundleRef, std::string* imageDir,
                              bool* bootImage) {
    std::unique_ptr<PackageRecord> record = readHeader(reader);
    if (!record) return nullptr;
    if (record->keepsImage && imageDir) *imageDir = dbDirOf(*record);

    // A member is judged silently; a conflict is no error, it only makes
    // the package start disabled.
    AdmissionOutcome outcome = admitOffer(installer, *record, bundleRef ? kEveryFlag : flags | AllowConflicting);
    if (auto chosen = userStates.find(record->name); chosen != userStates.end()) {
        record->disabled = chosen->second;
        record->userForced = true;
    } else {
        record->disabled = false;
    }
    if ((outcome & Conflicting) != 0) {
        outcome &= ~Conflicting;
        record->disabled = true;
    }
    if ((outcome & (~flags | SameVersion)) != 0) {
        return refusePackage(installer, reader, flags, outcome, *record, bundleRef != nullptr, bootImage);
    }

    if (bundleRef) record->bundleRef = *bundleRef;
    // An overlay adds files beside the installed package and replaces nothing.
    if (!reader.isOverlay()) {
        const int index = findIndex(installer, record->name);
        if (index >= 0) {
            removeRecord(*installer.packages[static_cast<std::size_t>(index)], changes);
            eraseRecord(installer, static_cast<std::size_t>(index));
        }
    }
    if (!installPackageFile(*record, changes, reader)) return nullptr;

    const std::string name = record->name;
    const bool carriesBootImage = (record->flags & FlagBootImage) != 0;
    PackageRecord* added = appendRecord(installer, std::move(record));
    applyActions(installer, changes, 0);
    if (bootImage) *bootImage = carriesBootImage && bootImageRequested();
    // The plan may have taken the new record away again (its requirements
    // vanished); then whatever now bears the name stands for it.
    return inCatalogue(installer, added) ? added : find(installer, name);
}

int installBundle(Installer& installer, ChangeSet& changes, PackageFile& reader, InstallFlags flags,
                  UserStates& userStates, std::string* imageDir, bool* bootImage) {
    if (bootImage) *bootImage = false;
    std::unique_ptr<PackageRecord> bundle = readHeader(reader);
    if (!bundle) return 1;
    if (reader.currentType() == PartKeepImage) reader.nextPart();
    if (bundle->keepsImage && imageDir) *imageDir = dbDirOf(*bundle);

    const AdmissionOutcome outcome = admitOffer(installer, *bundle, flags);
    if ((outcome & ~flags) != 0) return 2;

    uninstallNamed(installer, changes, bundle->name);
    if (!storeRecord(*bundle, changes)) return 1;

    Dependency bundleRef;
    bundleRef.name = bundle->name;
    bundleRef.min = bundle->version;
    bundleRef.max = bundle->version;
    bundleRef.priority = 0;

    if (const int index = findIndex(installer, bundle->name); index >= 0) {
        eraseRecord(installer, static_cast<std::size_t>(index));
    }
    appendRecord(installer, std::move(bundle));

    // Members of the earlier installation; those the new bundle still has
    // are crossed off as they are installed.
    std::set<std::string> earlierMembers;
    for (const auto& record : installer.packages) {
        if (record->bundleRef.name == bundleRef.name) earlierMembers.insert(record->name);
    }

    if (reader.currentType() == PartDisabledMembers) {
        // A nameless record that conflicts with a member makes admission find
        // it conflicting, so it is installed disabled; the user's own choice
        // wins over the bundle's.
        std::vector<Dependency> startDisabled;
        readDependencyList(reader, startDisabled);
        for (const Dependency& entry : startDisabled) {
            if (userStates.count(entry.name) != 0) continue;
            auto blocker = std::make_unique<PackageRecord>();
            Dependency conflict;
            conflict.name = entry.name;
            blocker->conflicts.push_back(std::move(conflict));
            appendRecord(installer, std::move(blocker));
        }
        reader.nextPart();
    }

    unsigned installed = 0;
    while (reader.currentType() == PartHeader) {
        const std::uint32_t headerAt = reader.partStart();
        bool memberBootImage = false;
        const PackageRecord* member =
            installPackage(installer, changes, reader, flags, userStates, &bundleRef, nullptr, &memberBootImage);
        if (member) {
            earlierMembers.erase(member->name);
            ++installed;
            if (bootImage && memberBootImage) *bootImage = true;
        } else if (reader.currentType() == PartHeader && reader.partStart() == headerAt) {
            // A header that could not be taken leaves the reader on it.
            reader.nextPart();
            skipToNextMember(reader);
        }
    }
    if (installed == 0) return 3;

    for (const auto& record : installer.packages) {
        if (earlierMembers.count(record->name) != 0) record->action = Uninstall;
    }
    applyActions(installer, changes, 0);

    setStatus("");
    reportInfo("installed %s", requirementLabel(bundleRef.name, bundleRef.min).c_str());
    return 0;
}

int installStream(Installer& installer, ChangeSet& changes, std::istream& input, InstallFlags flags,
                  UserStates& userStates, std::streambuf* copyTarget, std::string* imageDir, bool* bootImage) {
    PackageFile reader(input, true, copyTarget);
    for (const std::uint16_t type : StreamParts) reader.want(type);
    if (reader.nextPart() == PartBundleHeader) {
        return installBundle(installer, changes, reader, flags, userStates, imageDir, bootImage);
    }
    return installPackage(installer, changes, reader, flags, userStates, nullptr, imageDir, bootImage) ? 0 : 1;
}

}  // namespace velmora
