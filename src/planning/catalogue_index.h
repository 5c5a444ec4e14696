#pragma once
// Name lookups over the catalogue for the action planning, which asks for
// the candidates of every requirement again after each change it makes.
// Built once for a catalogue whose membership and names stay fixed while
// it is used (the plan changes only actions); every answer is the one the
// linear scans of the catalogue give, in catalogue order.

#include <string_view>
#include <unordered_map>
#include <vector>

#include "planning/package_record.h"

namespace velmora {

class Installer;

class CatalogueIndex {
public:
    explicit CatalogueIndex(const Installer& installer);

    // Appends what candidatesFor(installer, dependency, true, out) appends.
    void candidates(const Dependency& dependency, std::vector<PackageRecord*>& out) const;

    // What find(installer, name) gives.
    PackageRecord* firstNamed(std::string_view name) const;

    // The records other than placeholders whose bundle reference names
    // bundleName, in catalogue order.
    const std::vector<PackageRecord*>& membersOf(std::string_view bundleName) const;

private:
    // Keys view the records' own strings.
    std::unordered_map<std::string_view, std::vector<PackageRecord*>> namedOrProviding_;
    std::unordered_map<std::string_view, PackageRecord*> firstNamed_;
    std::unordered_map<std::string_view, std::vector<PackageRecord*>> members_;
    std::vector<PackageRecord*> none_;
};

}  // namespace velmora
