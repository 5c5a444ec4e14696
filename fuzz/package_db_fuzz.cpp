// Feeds arbitrary bytes to every reader of the package database's text
// files and checks that what a reader accepts is written back in a form
// that reads the same; then lays the bytes out as one package's database
// directory (with its schedule and stored image) and loads the catalogue
// from it.
//
// Directory layout of an input: up to nine NUL-terminated pieces for
// "version", "deps", "provides", "conflicts", "bundle", "files",
// "disabled", "enabled" and the schedule, then the image. An empty piece
// leaves its file out; a piece of one "-" makes it an empty file.

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "pdb/db_files.h"
#include "pdb/package_db.h"
#include "run/installer.h"
#include "run/repository.h"
#include "throwaway_tree.h"

namespace {

using namespace velmora;

void check(bool condition) {
    if (!condition) std::abort();
}

std::istringstream streamOf(const std::string& bytes) {
    return std::istringstream(bytes, std::ios::in | std::ios::binary);
}

bool sameList(const std::vector<Dependency>& a, const std::vector<Dependency>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].name != b[i].name || a[i].min != b[i].min || a[i].max != b[i].max ||
            a[i].priority != b[i].priority) {
            return false;
        }
    }
    return true;
}

void checkList(const std::string& bytes, bool withPriority) {
    auto in = streamOf(bytes);
    std::vector<Dependency> list;
    readDependencyFile(in, withPriority, list);
    for (const Dependency& entry : list) {
        check(!entry.name.empty() && entry.name.size() <= kMaxDbWord);
        if (!withPriority) check(entry.priority == 0);
    }
    std::ostringstream out;
    writeDependencyFile(out, list, withPriority);
    auto again = streamOf(out.str());
    std::vector<Dependency> back;
    check(readDependencyFile(again, withPriority, back));
    check(sameList(list, back));
}

void checkVersion(const std::string& bytes) {
    auto in = streamOf(bytes);
    Version version = 0;
    std::uint32_t buildTime = 0;
    if (!readVersionFile(in, version, buildTime)) return;
    std::ostringstream out;
    writeVersionFile(out, version, buildTime);
    auto again = streamOf(out.str());
    Version versionBack = 0;
    std::uint32_t buildTimeBack = 0;
    check(readVersionFile(again, versionBack, buildTimeBack));
    check(version == versionBack && buildTime == buildTimeBack);
}

std::set<std::string> filesRoundTrip(const std::set<std::string>& files) {
    std::ostringstream out;
    writeFilesFile(out, files);
    auto in = streamOf(out.str());
    std::set<std::string> back;
    readFilesFile(in, back);
    return back;
}

// Leading slashes collapsed: "//x" and "/x" name the same file below /flash.
std::set<std::string> collapsed(const std::set<std::string>& files) {
    std::set<std::string> result;
    for (const std::string& path : files) {
        std::size_t start = path.find_first_not_of('/');
        result.insert("/" + (start == std::string::npos ? std::string() : path.substr(start)));
    }
    return result;
}

void checkFiles(const std::string& bytes) {
    auto in = streamOf(bytes);
    std::set<std::string> files;
    readFilesFile(in, files);
    for (const std::string& path : files) {
        check(path.size() <= kMaxDbPath + 1 && path.front() == '/' && isKeepablePath(path));
    }
    // Writing drops one leading "/", so "//x" comes back as "/x": the same
    // file. Every path must come back naming the same file.
    std::set<std::string> back = filesRoundTrip(files);
    check(collapsed(back) == collapsed(files));
}

std::string dbRoot;
std::string scheduleRoot;

// Names read from the database's text are whole words; those read from an
// image come from fixed 16-byte fields and may be empty.
void checkDependencies(const std::vector<Dependency>& list, bool fromText) {
    for (const Dependency& entry : list) check((!fromText || !entry.name.empty()) && entry.name.size() <= kMaxDbWord);
}

void checkRecord(const PackageRecord& record, bool fromText) {
    check(record.action == None || record.action == Uninstall || record.action == Enable ||
          record.action == Disable);
    checkDependencies(record.deps, fromText);
    checkDependencies(record.provides, fromText);
    checkDependencies(record.conflicts, fromText);
    for (const std::string& path : record.files) {
        check(path.size() <= kMaxDbPath + 1 && path.front() == '/' && isKeepablePath(path));
    }
}

void checkDirectory(const std::string& bytes) {
    static const char* const kFiles[] = {"version", "deps",    "provides", "conflicts", "bundle",
                                         "files",   "disabled", "enabled", nullptr};
    const std::string dir = dbRoot + "pkg/";
    const std::string scheduleDir = scheduleRoot + "pkg/";
    fuzz::emptyDirectory(dir);
    fuzz::emptyDirectory(scheduleDir);

    std::size_t start = 0;
    bool hasFiles = false;
    for (const char* const* file = kFiles;; ++file) {
        const std::size_t end = bytes.find('\0', start);
        if (end == std::string::npos) break;
        const std::string piece = bytes.substr(start, end - start);
        start = end + 1;
        const std::string path = *file != nullptr ? dir + *file : scheduleDir + "schedule";
        if (!piece.empty()) {
            const std::string content = piece == "-" ? std::string() : piece;
            fuzz::writeFile(path, content.data(), content.size());
            if (*file != nullptr && std::string(*file) == "files") hasFiles = true;
        }
        if (*file == nullptr) break;
    }
    const std::string image = bytes.substr(std::min(start, bytes.size()));
    fuzz::writeFile(dir + "image", image.data(), image.size());

    PackageRecord record("pkg");
    loadRecordState(record);
    checkRecord(record, true);
    check(record.isBundle == !hasFiles);

    // The whole catalogue: the image read first, then the state.
    Installer& installer = Installer::instance();
    installer.packages.clear();
    installer.messages.clear();
    loadRepository(installer, true, "i386");
    check(!installer.packages.empty());
    for (const auto& loaded : installer.packages) {
        check(isStorableName(loaded->name));
        checkRecord(*loaded, false);
    }
    installer.packages.clear();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string root = fuzz::throwawayRoot();
    dbRoot = root + "/pdb/";
    scheduleRoot = root + "/schedule/";
    for (const std::string& dir : {dbRoot, dbRoot + "pkg", scheduleRoot, scheduleRoot + "pkg"}) {
        ::mkdir(dir.c_str(), 0755);
    }
    DbPaths paths;
    paths.dbRoot = dbRoot;
    paths.scheduleRoot = scheduleRoot;
    paths.flashRoot = root + "/flash";
    paths.bootImage = root + "/flash/bootimage";
    paths.imageStore = root + "/images/";
    setDbPaths(paths);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    checkVersion(bytes);
    checkList(bytes, false);
    checkList(bytes, true);
    {
        std::string word;
        auto in = streamOf(bytes);
        readWord(in, word, kMaxDbWord);
        check(word.size() <= kMaxDbWord);
    }
    checkFiles(bytes);
    {
        auto in = streamOf(bytes);
        readDisabledFile(in);
    }
    {
        auto in = streamOf(bytes);
        PendingAction action = readScheduleFile(in);
        check(action == None || action == Uninstall || action == Enable || action == Disable);
    }
    checkDirectory(bytes);
    return 0;
}
