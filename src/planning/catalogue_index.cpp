#include "planning/catalogue_index.h"

#include "planning/dependency_rules.h"
#include "run/installer.h"

namespace velmora {

CatalogueIndex::CatalogueIndex(const Installer& installer) {
    for (const auto& slot : installer.packages) {
        PackageRecord* record = slot.get();
        firstNamed_.try_emplace(record->name, record);
        // A record reaches a name through its own name or a provision; it is
        // listed once per name however often it reaches it.
        namedOrProviding_[record->name].push_back(record);
        for (const Dependency& provision : record->provides) {
            std::vector<PackageRecord*>& reached = namedOrProviding_[provision.name];
            if (reached.empty() || reached.back() != record) reached.push_back(record);
        }
        if (!isPlaceholder(*record)) members_[record->bundleRef.name].push_back(record);
    }
}

void CatalogueIndex::candidates(const Dependency& dependency, std::vector<PackageRecord*>& out) const {
    auto found = namedOrProviding_.find(dependency.name);
    if (found == namedOrProviding_.end()) return;
    for (PackageRecord* record : found->second) {
        if (isPlaceholder(*record)) continue;
        if (satisfies(*record, dependency) || providesFor(*record, dependency)) out.push_back(record);
    }
}

PackageRecord* CatalogueIndex::firstNamed(std::string_view name) const {
    auto found = firstNamed_.find(name);
    return found == firstNamed_.end() ? nullptr : found->second;
}

const std::vector<PackageRecord*>& CatalogueIndex::membersOf(std::string_view bundleName) const {
    auto found = members_.find(bundleName);
    return found == members_.end() ? none_ : found->second;
}

}  // namespace velmora
