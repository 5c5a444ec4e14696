#include "planning/catalogue.h"

#include "planning/dependency_rules.h"
#include "run/installer.h"

namespace velmora {

int findIndex(const Installer& installer, std::string_view name) {
    const auto& packages = installer.packages;
    for (std::size_t i = 0; i < packages.size(); ++i) {
        if (sameName(packages[i]->name, name)) return static_cast<int>(i);
    }
    return -1;
}

PackageRecord* find(const Installer& installer, std::string_view name) {
    int index = findIndex(installer, name);
    return index < 0 ? nullptr : installer.packages[static_cast<std::size_t>(index)].get();
}

PackageRecord* findNamedOrProviding(const Installer& installer, std::string_view name) {
    // A probe without bounds overlaps every provision of its name, so the
    // name alone decides. Placeholders count here.
    PackageRecord* lastMatch = nullptr;
    for (const auto& record : installer.packages) {
        if (!sameName(record->name, name) && !providesName(*record, name)) continue;
        if (!record->disabled) return record.get();
        lastMatch = record.get();
    }
    return lastMatch;
}

PackageRecord* findConflicting(const Installer& installer, const PackageInfo& package) {
    for (const auto& record : installer.packages) {
        if (!record->disabled && conflictsWith(*record, package)) return record.get();
    }
    return nullptr;
}

namespace {

bool isCandidate(const PackageRecord& record, const Dependency& dependency, bool includeDisabled) {
    if (record.disabled && !includeDisabled) return false;
    if (isPlaceholder(record)) return false;
    return satisfies(record, dependency) || providesFor(record, dependency);
}

}  // namespace

void candidatesFor(const Installer& installer, const Dependency& dependency, bool includeDisabled,
                   std::vector<PackageRecord*>& out) {
    for (const auto& record : installer.packages) {
        if (isCandidate(*record, dependency, includeDisabled)) out.push_back(record.get());
    }
}

PackageRecord* firstCandidateFor(const Installer& installer, const Dependency& dependency,
                                 bool includeDisabled) {
    for (const auto& record : installer.packages) {
        if (isCandidate(*record, dependency, includeDisabled)) return record.get();
    }
    return nullptr;
}

PackageRecord* appendRecord(Installer& installer, std::unique_ptr<PackageRecord> record) {
    PackageRecord* added = record.get();
    if (added) installer.packages.push_back(std::move(record));
    // The catalogue owns the record now; the pointer stays valid.
    // cppcheck-suppress returnDanglingLifetime
    return added;
}

std::unique_ptr<PackageRecord> eraseRecord(Installer& installer, std::size_t index) {
    auto& packages = installer.packages;
    if (index >= packages.size()) return nullptr;
    std::unique_ptr<PackageRecord> taken = std::move(packages[index]);
    packages.erase(packages.begin() + static_cast<std::ptrdiff_t>(index));
    return taken;
}

std::unique_ptr<PackageRecord> eraseRecord(Installer& installer, const PackageRecord* record) {
    auto& packages = installer.packages;
    for (std::size_t i = 0; i < packages.size(); ++i) {
        if (packages[i].get() == record) return eraseRecord(installer, i);
    }
    return nullptr;
}

}  // namespace velmora
