#include "pdb/package_db.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <sys/stat.h>
#include <utility>

#include "package/install_messages.h"
#include "pdb/db_files.h"
#include "planning/action_planning.h"
#include "planning/catalogue.h"
#include "run/installer.h"
#include "storage/run_records.h"

namespace velmora {
namespace {

// Size hints: whether a temporary file may be made beside its target.
constexpr std::uint32_t kVersionHint = 32;
constexpr std::uint32_t kListHint = 1024;
constexpr std::uint32_t kBundleHint = 16;
constexpr std::uint32_t kFilesHint = 4096;
constexpr std::uint32_t kStateHint = 8;

DbPaths& currentPaths() {
    static DbPaths paths;
    return paths;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Only regular files are read: a device or a pipe in a damaged database
// must not hang the loader or feed it without end. Anything else reads as
// a missing file.
bool openRegular(std::ifstream& in, const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    in.open(path, std::ios::in | std::ios::binary);
    return in.is_open();
}

// Writes one file through the change set; the stream is checked once all
// of it has been written and flushed.
template <typename Write>
bool writeDbFile(ChangeSet& changes, const std::string& target, std::uint32_t sizeHint, Write write) {
    std::ofstream out;
    openReplacement(out, changes, target, sizeHint, 0);
    write(out);
    out.flush();
    return static_cast<bool>(out);
}

template <typename Write>
bool writeMetadata(const PackageRecord& record, ChangeSet& changes, const std::string& target,
                   std::uint32_t sizeHint, const char* reportName, Write write) {
    if (writeDbFile(changes, target, sizeHint, write)) return true;
    reportCreateFailure(record, reportName);
    return false;
}

void writeStateWord(ChangeSet& changes, const std::string& target, const char* word) {
    // A state file that cannot be written leaves the package as it was; that
    // is not worth failing an installation for.
    writeDbFile(changes, target, kStateHint, [word](std::ostream& out) { out << word << '\n'; });
}

bool saveFileList(const PackageRecord& record, ChangeSet& changes, const std::string& dir) {
    return record.isBundle ||
           writeMetadata(record, changes, dir + "files", kFilesHint, "meta/files",
                         [&](std::ostream& out) { writeFilesFile(out, record.files); });
}

bool saveMetadata(const PackageRecord& record, ChangeSet& changes, const std::string& dir) {
    if (!writeMetadata(record, changes, dir + "version", kVersionHint, "meta/version", [&](std::ostream& out) {
            writeVersionFile(out, record.version, record.buildTime);
        })) {
        return false;
    }
    if (!writeMetadata(record, changes, dir + "deps", kListHint, "meta/deps",
                       [&](std::ostream& out) { writeDependencyFile(out, record.deps, false); })) {
        return false;
    }
    if (!record.provides.empty() &&
        !writeMetadata(record, changes, dir + "provides", kListHint, "meta/provides",
                       [&](std::ostream& out) { writeDependencyFile(out, record.provides, true); })) {
        return false;
    }
    if (!record.conflicts.empty() &&
        !writeMetadata(record, changes, dir + "conflicts", kListHint, "meta/conflicts",
                       [&](std::ostream& out) { writeDependencyFile(out, record.conflicts, false); })) {
        return false;
    }
    if (record.bundleRef.name.empty()) {
        scheduleRemove(changes, dir + "bundle");
    } else if (!writeMetadata(record, changes, dir + "bundle", kBundleHint, "meta/bundle",
                              [&](std::ostream& out) { out << record.bundleRef.name << '\n'; })) {
        return false;
    }
    return saveFileList(record, changes, dir);
}

void loadMetadata(PackageRecord& record, const std::string& dir) {
    {
        std::ifstream in;
        openRegular(in, dir + "version");
        if (!readVersionFile(in, record.version, record.buildTime)) record.action = Uninstall;
    }
    const std::pair<const char*, std::vector<Dependency>*> lists[] = {
        {"deps", &record.deps}, {"provides", &record.provides}, {"conflicts", &record.conflicts}};
    for (const auto& [file, list] : lists) {
        std::ifstream in;
        openRegular(in, dir + file);
        if (!readDependencyFile(in, list == &record.provides, *list)) record.action = Uninstall;
    }
    {
        std::ifstream in;
        openRegular(in, dir + "bundle");
        std::string name;
        WordRead read = readWord(in, name, kMaxDbWord);
        if (read == WordRead::Word) {
            record.bundleRef.name = std::move(name);
            record.bundleRef.min = 0;
            record.bundleRef.max = 0;
        }
        // A member left behind by its bundle, or a damaged reference to one.
        if (read != WordRead::None) record.action = Uninstall;
    }
    record.isBundle = !exists(dir + "files");
    if (!record.isBundle) {
        std::ifstream in;
        openRegular(in, dir + "files");
        readFilesFile(in, record.files);
    }
}

constexpr const char* kScheduleCopy = ".schedule";

// The schedule a run kept on the flash: name -> action.
std::map<std::string, PendingAction> readScheduleCopy(const std::string& path) {
    std::map<std::string, PendingAction> kept;
    std::ifstream in;
    if (!openRegular(in, path)) return kept;
    std::string name;
    while (readWord(in, name, kMaxDbWord) == WordRead::Word) {
        const PendingAction action = readScheduleFile(in);
        if (action == None) break;
        kept.emplace(name, action);
    }
    return kept;
}

// What a stopped run kept, read once per database root.
PendingAction keptSchedule(const std::string& name) {
    static std::string loadedFrom;
    static std::map<std::string, PendingAction> kept;
    const std::string path = dbPaths().dbRoot + kScheduleCopy;
    if (path != loadedFrom) {
        loadedFrom = path;
        kept = readScheduleCopy(path);
    }
    auto it = kept.find(name);
    return it == kept.end() ? None : it->second;
}

}  // namespace

const DbPaths& dbPaths() {
    return currentPaths();
}

void setDbPaths(DbPaths paths) {
    currentPaths() = std::move(paths);
}

std::string dbDirOf(const PackageInfo& record) {
    return dbPaths().dbRoot + record.name + "/";
}

bool isStorableName(std::string_view name) {
    // A dot name is never loaded, and the run's own records have such names.
    return !name.empty() && name.front() != '.' && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

void loadRecordState(PackageRecord& record) {
    const std::string dir = dbDirOf(record);
    if (record.version == 0) loadMetadata(record, dir);

    record.userForced = false;
    {
        std::ifstream in;
        record.disabled = openRegular(in, dir + "disabled");
        if (record.disabled) record.userForced = readDisabledFile(in);
    }
    if (!record.disabled) {
        std::ifstream in;
        if (openRegular(in, dir + "enabled")) record.userForced = true;
    }
    if (isPlaceholder(record)) return;

    std::ifstream in;
    // /ram is gone after a power loss; the copy a stopped run kept is not.
    PendingAction scheduled = openRegular(in, dbPaths().scheduleRoot + record.name + "/schedule")
                                  ? readScheduleFile(in)
                                  : keptSchedule(record.name);
    if (scheduled == None) return;
    record.action = scheduled;
    if (scheduled != Uninstall) record.userForced = true;
}

bool saveRecord(const PackageRecord& record, ChangeSet& changes) {
    if (!isStorableName(record.name)) {
        errno = EINVAL;
        reportCreateFailure(record, "meta/version");
        return false;
    }
    const std::string dir = dbDirOf(record);
    if ((record.flags & FlagNoMetadata) == 0) {
        // A package that keeps its image has its metadata there, but only
        // the database can say which files it put on the flash.
        if (record.keepsImage ? !saveFileList(record, changes, dir) : !saveMetadata(record, changes, dir)) {
            return false;
        }
    }
    if (record.disabled) {
        writeStateWord(changes, dir + "disabled", record.userForced ? "user" : "auto");
    } else {
        scheduleRemove(changes, dir + "disabled");
    }
    if (!record.disabled && record.userForced) {
        writeStateWord(changes, dir + "enabled", "user");
    } else {
        scheduleRemove(changes, dir + "enabled");
    }
    return true;
}

bool prepareRecordDir(const PackageRecord& record, ChangeSet& changes) {
    return isStorableName(record.name) && keepDirectory(changes, dbDirOf(record));
}

bool storeRecord(const PackageRecord& record, ChangeSet& changes) {
    return prepareRecordDir(record, changes) && saveRecord(record, changes);
}

void disableRecord(PackageRecord& record, ChangeSet& changes) {
    if (isStorableName(record.name)) {
        const std::string dir = dbDirOf(record);
        scheduleRemove(changes, dir + "enabled");
        writeStateWord(changes, dir + "disabled", record.userForced ? "user" : "auto");
    }
    record.disabled = true;
    record.action = None;
}

void enableRecord(PackageRecord& record, ChangeSet& changes) {
    if (isStorableName(record.name)) {
        const std::string dir = dbDirOf(record);
        scheduleRemove(changes, dir + "disabled");
        if (record.userForced) {
            writeStateWord(changes, dir + "enabled", "user");
        } else {
            scheduleRemove(changes, dir + "enabled");
        }
    }
    record.disabled = false;
    record.action = None;
}

void removeRecord(PackageRecord& record, ChangeSet& changes) {
    const DbPaths& paths = dbPaths();
    for (const std::string& path : record.files) {
        // The path keeps its own leading "/": /flash//bin/foo. One that
        // could reach outside /flash is not touched.
        if (isKeepablePath(path)) scheduleRemove(changes, paths.flashRoot + "/" + path);
    }
    record.files.clear();
    if (isStorableName(record.name)) {
        const std::string dir = dbDirOf(record);
        scheduleRemove(changes, dir);
        scheduleRemove(changes, dir + "image");
    }
    if ((record.flags & FlagBootImage) != 0) {
        // A second link means another package still carries this boot image.
        struct stat st {};
        if (::stat(paths.bootImage.c_str(), &st) == 0 && st.st_nlink == 1) {
            scheduleRemove(changes, paths.bootImage);
        }
    }
    record.action = None;
}

bool uninstallNamed(Installer& installer, ChangeSet& changes, std::string_view name) {
    int index = findIndex(installer, name);
    if (index < 0) return false;
    removeRecord(*installer.packages[static_cast<std::size_t>(index)], changes);
    eraseRecord(installer, static_cast<std::size_t>(index));
    return true;
}

void keepSchedule() {
    const DbPaths& where = dbPaths();
    const std::string path = where.dbRoot + kScheduleCopy;
    std::map<std::string, PendingAction> words = readScheduleCopy(path);
    const std::map<std::string, PendingAction> before = words;
    if (DIR* dir = ::opendir(where.scheduleRoot.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.' || !isStorableName(entry->d_name)) continue;
            std::ifstream in;
            if (!openRegular(in, where.scheduleRoot + entry->d_name + "/schedule")) continue;
            const PendingAction action = readScheduleFile(in);
            if (action != None) words[entry->d_name] = action;
        }
        ::closedir(dir);
    }
    if (words.empty() || words == before) return;
    std::string text;
    for (const auto& [name, action] : words) text += name + " " + actionWord(action) + "\n";
    // Written whole and flushed before the run changes anything.
    const std::string partial = path + ".new";
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const bool whole = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    ::close(fd);
    if (!whole || ::rename(partial.c_str(), path.c_str()) != 0) ::unlink(partial.c_str());
}

void dropSchedule() { ::unlink((dbPaths().dbRoot + kScheduleCopy).c_str()); }

void loadFileList(PackageRecord& record) {
    if (record.isBundle || !isStorableName(record.name)) return;
    std::ifstream in;
    if (openRegular(in, dbDirOf(record) + "files")) readFilesFile(in, record.files);
}

std::set<std::string> installedFilePaths() {
    std::set<std::string> paths;
    const DbPaths& where = dbPaths();
    DIR* dir = ::opendir(where.dbRoot.c_str());
    if (dir == nullptr) return paths;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream in;
        if (!openRegular(in, where.dbRoot + entry->d_name + "/files")) continue;
        std::set<std::string> files;
        readFilesFile(in, files);
        for (const std::string& file : files) paths.insert(collapsedPath(where.flashRoot + "/" + file));
    }
    ::closedir(dir);
    return paths;
}

}  // namespace velmora
