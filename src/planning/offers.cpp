#include "planning/offers.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <exception>
#include <string_view>

#include "package/package_reader.h"
#include "planning/dependency_rules.h"
#include "run/message_log.h"

namespace velmora {
namespace {

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool isPackageFileName(std::string_view path) { return endsWith(path, ".vpa") || endsWith(path, ".vpd"); }

// Only a regular file can hold a header: a directory or a pipe named like a
// package would fail the read (or block it). A read error of the file
// stream must not end the scan either.
bool readOffer(OfferedPackage& offer, const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    try {
        return readPackageFile(offer, path);
    } catch (const std::exception&) {
        return false;
    }
}

// Same package, or a bundle and one of its members.
bool related(const PackageInfo& a, const PackageInfo& b) {
    return isOrContains(a, b.name) || isOrContains(b, a.name);
}

// Whether the offer at index survives the offers around it.
bool survives(const std::vector<PackageInfo*>& list, std::size_t index, bool downgrade, bool reporting) {
    const PackageInfo& a = *list[index];
    for (std::size_t other = 0; other < list.size(); ++other) {
        if (other == index) continue;
        const PackageInfo& b = *list[other];
        if (!related(a, b)) continue;
        int c = compareForSelection(b, a, downgrade);
        if (c > 0) {
            if (reporting) {
                reportWarning(downgrade ? "omitting package %s: older package is already provided"
                                        : "omitting package %s: newer package is already provided",
                              recordLabel(a).c_str());
            }
            return false;
        }
        if (c < 0) continue;
        if (a.isBundle != b.isBundle) {
            // The bundle carries an equal package: the single one goes.
            if (b.isBundle) return false;
            continue;
        }
        // Equal offers of the same kind: the first one stands for both.
        if (other < index) return false;
    }
    return true;
}

}  // namespace

void scanOffers(const std::string& directory, std::vector<std::unique_ptr<OfferedPackage>>& out) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return;
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name.empty() || name.front() == '.') continue;
        std::string path = directory + std::string(name);
        if (!isPackageFileName(path)) continue;

        auto offer = std::make_unique<OfferedPackage>();
        if (readOffer(*offer, path)) {
            out.push_back(std::move(offer));
        } else {
            reportError("broken package %s", entry->d_name);
        }
    }
    ::closedir(dir);
}

void selectOffers(std::vector<PackageInfo*>& list, bool downgrade, bool reporting) {
    std::vector<PackageInfo*> selected;
    selected.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (survives(list, i, downgrade, reporting)) selected.push_back(list[i]);
    }

    // Each offer goes right after the last placed one it needs or that
    // conflicts with it; one related to nothing placed goes to the front.
    std::vector<PackageInfo*> ordered;
    ordered.reserve(selected.size());
    for (PackageInfo* x : selected) {
        std::size_t position = 0;
        for (std::size_t i = ordered.size(); i > 0; --i) {
            const PackageInfo& y = *ordered[i - 1];
            if (dependsOn(*x, y) || conflictsWith(y, *x)) {
                position = i;
                break;
            }
        }
        // position is 0 or an index found in ordered, so never past its end.
        // cppcheck-suppress containerOutOfBounds
        ordered.insert(ordered.begin() + static_cast<std::ptrdiff_t>(position), x);
    }
    list = std::move(ordered);
}

}  // namespace velmora
