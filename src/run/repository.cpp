#include "run/repository.h"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <ios>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "package/package_format.h"
#include "package/package_reader.h"
#include "package/package_stream.h"
#include "pdb/package_db.h"
#include "planning/catalogue.h"
#include "run/installer.h"
#include "run/message_log.h"

namespace velmora {
namespace {

// What a catalogue record is read from. The architecture, the text of type
// 2 and the keep-image marker are left out on purpose: a record loaded here
// keeps their defaults.
constexpr std::uint32_t kWantedParts[] = {PartBundleHeader, PartHeader,   PartText24,   PartNote,
                                          PartDependencies, PartProvides, PartConflicts};

// The entries of one directory in directory order, leaving out names that
// begin with "." (".", ".." and anything hidden).
class DirectoryEntries {
public:
    explicit DirectoryEntries(const std::string& path) : dir_(::opendir(path.c_str())) {}
    ~DirectoryEntries() {
        if (dir_ != nullptr) ::closedir(dir_);
    }
    DirectoryEntries(const DirectoryEntries&) = delete;
    DirectoryEntries& operator=(const DirectoryEntries&) = delete;

    bool isOpen() const { return dir_ != nullptr; }

    // The next name, or null at the end.
    const char* next() {
        while (const dirent* entry = ::readdir(dir_)) {
            if (entry->d_name[0] != '.') return entry->d_name;
        }
        return nullptr;
    }

private:
    DIR* dir_;
};

// Reads the image in source into record; a bundle's members go into the
// catalogue straight away, ahead of the bundle's own record. False when the
// record must be dropped because the image gave it a name no database
// directory can have. The parser's result is otherwise not judged: a
// damaged image yields what could be read before the damage.
bool readImage(Installer& installer, PackageRecord& record, std::istream& source) {
    // Neither hashing nor copying: parts nobody reads are passed by seeking,
    // so an image costs the same whatever the size of its archive.
    PackageFile file(source, false);
    for (std::uint32_t type : kWantedParts) file.want(type);

    const bool bundle = file.nextPart() == PartBundleHeader;
    readPackageHeader(record, file);
    if (!isStorableName(record.name)) return false;
    if (!bundle) return true;

    const Dependency bundleRef{record.name, record.version, record.version, 0};
    while (file.currentType() == PartHeader) {
        auto member = std::make_unique<PackageRecord>();
        const bool whole = readPackageHeader(*member, file);
        if (!isStorableName(member->name)) break;
        member->bundleRef = bundleRef;
        appendRecord(installer, std::move(member));
        // A parser that stopped early may still stand on the same header.
        if (!whole) break;
    }
    return true;
}

// The record for one entry, or null when its image cannot be opened.
std::unique_ptr<PackageRecord> recordFromImage(Installer& installer, const std::string& entry,
                                               const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return nullptr;
    auto record = std::make_unique<PackageRecord>(entry);
    // A directory, a pipe or a device holds no package; opening a pipe could
    // block and reading a directory fails, so they are not read at all.
    if (!S_ISREG(status.st_mode)) return record;

    std::ifstream source(path, std::ios::in | std::ios::binary);
    if (!source.is_open()) return nullptr;
    bool keep = true;
    try {
        keep = readImage(installer, *record, source);
    } catch (const std::ios_base::failure&) {
        // The file buffer throws on a read error (EIO) whatever the stream's
        // exception mask says; that is one more kind of damage.
        keep = isStorableName(record->name);
    }
    return keep ? std::move(record) : nullptr;
}

// Regular files in the database directory that name no package: a file
// staged for a new package's database entry (the package's own directory
// does not exist yet), which a run killed before its commit leaves there,
// and the stream mode's copy of its input, "image", left when the package
// did not keep it.
bool namesNoPackage(const std::string& dbRoot, const std::string& name) {
    const bool staged = name.size() == 9 && name.compare(0, 3, "tmp") == 0;
    if (!staged && name != "image") return false;
    struct stat status {};
    return ::lstat((dbRoot + name).c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

bool loadImages(Installer& installer, const std::string& directory, bool fromImageStore) {
    const std::string& dbRoot = dbPaths().dbRoot;
    // The database's entries drive the image store pass too: a stored image
    // counts only for a package the database knows.
    DirectoryEntries entries(dbRoot);
    if (!entries.isOpen()) return false;
    while (const char* name = entries.next()) {
        const std::string entry = name;
        if (namesNoPackage(dbRoot, entry)) continue;
        const std::string path = fromImageStore ? directory + entry : dbRoot + entry + "/image";
        if (auto record = recordFromImage(installer, entry, path)) appendRecord(installer, std::move(record));
    }
    return true;
}

void loadRepository(Installer& installer, bool quiet, const std::string& arch) {
    installer.quiet = quiet;
    installer.arch = arch;

    const DbPaths& paths = dbPaths();
    if (!loadImages(installer, paths.dbRoot, false)) {
        reportWarning("could not open repo");
        return;
    }
    const std::size_t installedImages = installer.packages.size();
    loadImages(installer, paths.imageStore, true);

    DirectoryEntries entries(paths.dbRoot);
    if (!entries.isOpen()) return;

    for (std::size_t i = 0; i < installer.packages.size(); ++i) {
        PackageRecord& record = *installer.packages[i];
        const bool fromImage = record.version != 0;
        loadRecordState(record);
        // The installed image gave the metadata; the entry still knows the
        // files. A stored image of the same name does not own them.
        if (fromImage && i < installedImages) loadFileList(record);
    }

    // A directory whose image is lost or unreadable still makes its package
    // known. The names are collected once so that the pass stays linear in
    // the number of packages; records are never moved, so the views hold.
    std::unordered_set<std::string_view> named;
    for (const auto& record : installer.packages) named.insert(record->name);
    while (const char* name = entries.next()) {
        if (named.count(name) != 0) continue;
        if (namesNoPackage(paths.dbRoot, name)) continue;
        auto record = std::make_unique<PackageRecord>(name);
        loadRecordState(*record);
        appendRecord(installer, std::move(record));
    }
}

}  // namespace velmora
